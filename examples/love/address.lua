-- What the player gives the example (a file, an address, a host name) as the address the view
-- loads: the host kit's rule (host/Address.h), so kelshot, kelview and this game agree.
--
-- 1. An existing file or folder: "file://" and its absolute path with symbolic links resolved,
--    every byte but A-Z a-z 0-9 - . _ ~ / percent-encoded.
-- 2. Text containing "://", or starting with "about:" or "data:": taken as it is.
-- 3. Anything else: a host name (and path), "http://" in front.
-- Files come first, so a file named like an address in the current folder is still a file.

local address = {}

function address.fileAddress(absolute)
    local encoded = absolute:gsub("[^A-Za-z0-9%-%._~/]", function(c)
        return string.format("%%%02X", c:byte())
    end)
    return "file://" .. encoded
end

-- resolve(path) returns the absolute path and whether it is a folder, or nil when nothing is
-- there. Returns the address and its kind: "file", "folder", "given" or "host".
function address.addressFor(input, resolve)
    local absolute, folder = resolve(input)
    if absolute then
        return address.fileAddress(absolute), folder and "folder" or "file"
    end
    if input:find("://", 1, true) or input:sub(1, 6) == "about:" or input:sub(1, 5) == "data:" then
        return input, "given"
    end
    return "http://" .. input, "host"
end

-- The file system's answer, through the C library (LuaJIT's ffi).
function address.resolveOnDisk(path)
    local ok, ffi = pcall(require, "ffi")
    if not ok or path == "" then return nil end
    pcall(ffi.cdef, [[
        char *realpath(const char *path, char *resolved);
        void free(void *pointer);
    ]])
    local resolved = ffi.C.realpath(path, nil)
    if resolved == nil then return nil end
    local absolute = ffi.string(resolved)
    ffi.C.free(resolved)
    local file = io.open(absolute, "rb")
    if not file then return nil end
    local _, err = file:read(0)
    file:close()
    return absolute, err ~= nil and err:find("directory") ~= nil
end

return address
