-- kel.lua: KEL for LÖVE 11 through LuaJIT's FFI, with no C of its own.
--
-- The plugin's C interface (include/KELPlugin.h) is declared below and loaded with ffi.load;
-- the browser program is started by the SDK's C helper (KELLaunch.h in libKELHost.so, beside
-- the plugin), which gives this game segment names of its own, so that two games on one
-- machine never meet, and hands the browser's own output to the log callback. Records that the
-- browser sends are decoded while the plugin's callback runs (they are valid only then) and
-- handed out as Lua tables by kel.poll().
local ffi = require("ffi")

ffi.cdef [[
typedef struct KEL_Command {
    uint32_t sequence;
    char code[8];
    uint32_t origin;
    int32_t intArgs[16];
    int32_t intCount;
    uint16_t strArgs[16][256];
    int32_t strCount;
    int32_t result;
    uint8_t reserved[12];
} KEL_Command;

typedef struct KEL_TextureUpdate {
    int32_t updated;
    void *pixels;
    int32_t x, y, width, height;
} KEL_TextureUpdate;

typedef struct KEL_FrameRect {
    int32_t x, y, width, height;
} KEL_FrameRect;

typedef struct KEL_Frame {
    const void *pixels;
    int32_t width, height, stride;
    uint32_t number, changesSince;
    int32_t rectCount;
    KEL_FrameRect rects[16];
} KEL_Frame;

typedef void (*KEL_ProcessCallback)(const KEL_Command *command);
typedef void (*KEL_LogCallback)(const char *message);

bool KEL_Init(void);
void KEL_InitProcess(void);
void KEL_Update(void);
int32_t KEL_PostCommand(const KEL_Command *command);
void KEL_ClearCommands(void);
void KEL_UpdateTexture(bool fullOnly, int32_t group, int32_t index, KEL_TextureUpdate *update);
int32_t KEL_TakeFrame(const uint16_t *view, KEL_Frame *frame);
void KEL_ReleaseFrame(const uint16_t *view);
int32_t KEL_AllocateAndCopy(const void *source, int32_t length);
bool KEL_CopyAndFree(int32_t slot, void *destination, int32_t length);
void KEL_SetLogCB(KEL_LogCallback callback);
void KEL_SetProcessCB(KEL_ProcessCallback callback);
void KEL_Shutdown(void);

typedef int pid_t;
typedef struct KEL_StartOptions {
    const char *browser_path;
    const char *log_file;
    KEL_LogCallback log;
    int fixed_segment_names;
    uint64_t memory_limit;
    const char *readable_folders;
    const char *engine;
} KEL_StartOptions;
typedef struct KEL_Browser KEL_Browser;
KEL_Browser *kel_start(const KEL_StartOptions *options);
void kel_update(KEL_Browser *browser);
int kel_stop(KEL_Browser *browser, int timeout_ms);
]]

assert(ffi.sizeof("KEL_Command") == 8296, "KEL_Command layout")
assert(ffi.sizeof("KEL_TextureUpdate") == 32, "KEL_TextureUpdate layout")
assert(ffi.sizeof("KEL_Frame") == 288, "KEL_Frame layout")
assert(ffi.offsetof("KEL_Frame", "rects") == 32, "KEL_Frame layout")

local utf8 = require("utf8")

local kel = {}
local lib -- the loaded plugin
local launcher -- the SDK's C helper
local browser -- what kel_start returned
local received = {}
local processCallback, logCallback

-- ---- Finding the plugin and the browser -------------------------------------------------

local function exists(path)
    local file = path and io.open(path, "rb")
    if file then file:close() end
    return file ~= nil
end

local function dirname(path)
    return path:match("^(.*)/[^/]*$") or "."
end

-- $KEL_PLUGIN_PATH, the installed prefix (share/kel/love -> lib), or the build trees next to
-- this example's source tree.
function kel.findPlugin(exampleDir)
    local given = os.getenv("KEL_PLUGIN_PATH")
    if given and given ~= "" then return given end
    local root = dirname(dirname(exampleDir)) -- examples/love -> the source tree
    local installed = root .. "/../lib/libKELPlugin.so" -- share/kel/love -> share -> lib
    if exists(installed) then return installed end
    for _, build in ipairs({ "build", "build-release", "build-debug", "build/RelWithDebInfo" }) do
        local candidate = root .. "/" .. build .. "/lib/libKELPlugin.so"
        if exists(candidate) then return candidate end
    end
    return "libKELPlugin.so" -- the library search path
end

-- The C helper sits beside the plugin. The browser is found by the helper ($KEL_BROWSER_PATH,
-- else ../bin/KELBrowser beside the plugin).
function kel.findLauncher(pluginPath)
    if pluginPath:find("/") then return dirname(pluginPath) .. "/libKELHost.so" end
    return "libKELHost.so"
end

-- ---- Text ---------------------------------------------------------------------------------

local function utf16(text)
    local units = {}
    for _, cp in utf8.codes(text) do
        if cp >= 0x10000 then
            cp = cp - 0x10000
            units[#units + 1] = 0xD800 + bit.rshift(cp, 10)
            units[#units + 1] = 0xDC00 + bit.band(cp, 0x3FF)
        else
            units[#units + 1] = cp
        end
    end
    return units
end

local function fromUtf16(units, count)
    local out, i = {}, 0
    while i < count do
        local u = units[i]
        if u == 0 then break end
        if u >= 0xD800 and u < 0xDC00 and i + 1 < count then
            u = 0x10000 + bit.lshift(u - 0xD800, 10) + (units[i + 1] - 0xDC00)
            i = i + 1
        end
        out[#out + 1] = utf8.char(u)
        i = i + 1
    end
    return table.concat(out)
end
kel.utf8FromUtf16 = fromUtf16

-- ---- Records ------------------------------------------------------------------------------

-- A request: code, integer arguments (a Lua list from index 0), string arguments.
function kel.command(code, ints, strings)
    local c = ffi.new("KEL_Command")
    ffi.copy(c.code, code, 4)
    ints, strings = ints or {}, strings or {}
    for i = 0, 15 do
        if ints[i] ~= nil then
            c.intArgs[i] = ints[i]
            c.intCount = i + 1
        end
        if strings[i] ~= nil then
            local units = utf16(strings[i])
            for k = 1, math.min(#units, 255) do c.strArgs[i][k - 1] = units[k] end
            c.strCount = i + 1
        end
    end
    return c
end

-- LOAD: the address goes over string arguments 1 to 15, 255 units each, joined by the browser.
-- A longer one is refused (nil) rather than cut: a cut address names some other page.
function kel.loadCommand(view, address)
    local units = utf16(address)
    if #units > 15 * 255 then return nil end
    local c = kel.command("LOAD", {}, { [0] = view })
    c.strCount = 1 + math.max(1, math.ceil(#units / 255))
    for k = 1, #units do
        local slot = 1 + math.floor((k - 1) / 255)
        c.strArgs[slot][(k - 1) % 255] = units[k]
    end
    return c
end

function kel.post(c)
    return lib.KEL_PostCommand(c)
end

-- Text for HTML, EVJS and IMES: UTF-16 with a terminating zero unit, in a data slot.
function kel.putText(text)
    local units = utf16(text)
    local buffer = ffi.new("uint16_t[?]", #units + 1)
    for k = 1, #units do buffer[k - 1] = units[k] end
    local length = (#units + 1) * 2
    return lib.KEL_AllocateAndCopy(buffer, length), length
end

local function takeText(c, at)
    local slot, length = c.intArgs[at], c.intArgs[at + 1]
    if slot < 0 or length <= 0 or length > 1048576 then return "" end
    local buffer = ffi.new("uint16_t[?]", math.floor((length + 1) / 2))
    if not lib.KEL_CopyAndFree(slot, buffer, length) then return "" end
    return fromUtf16(buffer, math.floor(length / 2))
end

-- The code table's payload columns (transport/CommandCodes.h, `kelcodes` prints them): the
-- first integer of every pair that names a payload, in a notice and in a reply. Each is moved
-- out here (which frees its data slot), whether or not the game uses it: a slot left behind
-- stays taken until the segments are made anew. A reply never names its request's own payload.
local noticePayloads = {
    URLC = { 0 }, ICNC = { 0 }, IMEI = { 0 }, POPU = { 0 }, POPC = { 0 }, JLOG = { 0, 3 },
    INVK = { 1, 3, 5, 7, 9, 11, 13 },
}
local replyPayloads = { EVJS = { 0 } }

-- Copies what a record holds into a table, with the texts of its payloads as text0, text3, ...;
-- frames are left for kel.takeFrame (UPVW). ICNC's icon is dropped (its slot is freed).
local function decode(c)
    local r = {
        code = ffi.string(c.code, 4),
        origin = c.origin,
        result = c.result,
        sequence = c.sequence,
        ints = {},
        strings = {},
    }
    for i = 0, 15 do r.ints[i] = c.intArgs[i] end
    for i = 0, 3 do r.strings[i] = fromUtf16(c.strArgs[i], 256) end
    -- INVK names its view after the object and the method.
    r.view = r.code == "INVK" and r.strings[2] or r.strings[0]
    local reply = r.origin == 0 and r.result ~= 0
    local named = (reply and replyPayloads or noticePayloads)[r.code] or {}
    -- INVK says how many integers it filled (2n + 1): pairs past that name nothing.
    local filled = r.code == "INVK" and c.intCount or 16
    for _, at in ipairs(named) do
        if at + 1 < filled then r["text" .. at] = takeText(c, at) end
    end
    if reply and r.code == "EVJS" then r.value = r.text0 end
    if r.code == "INVK" and not reply then
        -- By position: an argument the page left undefined between others is an empty text.
        r.arguments = {}
        for k = 0, math.min(math.max(c.intArgs[0], 0), 7) - 1 do
            r.arguments[#r.arguments + 1] = r["text" .. (1 + 2 * k)] or ""
        end
    end
    return r
end

-- ---- Start, update, stop ------------------------------------------------------------------

-- Loads the plugin, creates the segments, starts the browser. `readable` (optional): folders,
-- separated by ':', the sandboxed browser must be able to read (a page file's folder under
-- /tmp). Returns true or nil, message.
-- `engine`: "wpe", "qtwebkit" or nil for the default (KEL_ENGINE, else WPE WebKit where built).
function kel.start(exampleDir, readable, engine)
    local pluginPath = kel.findPlugin(exampleDir)
    local ok, loaded = pcall(ffi.load, pluginPath)
    if not ok then return nil, "cannot load " .. pluginPath .. ": " .. tostring(loaded) end
    lib = loaded
    logCallback = ffi.cast("KEL_LogCallback", function(line)
        print("kel: " .. ffi.string(line))
    end)
    processCallback = ffi.cast("KEL_ProcessCallback", function(c)
        received[#received + 1] = decode(c)
    end)
    lib.KEL_SetProcessCB(processCallback)
    local helperPath = kel.findLauncher(pluginPath)
    ok, loaded = pcall(ffi.load, helperPath)
    if not ok then return nil, "cannot load " .. helperPath .. ": " .. tostring(loaded) end
    launcher = loaded
    local options = ffi.new("KEL_StartOptions")
    options.log = logCallback -- the plugin's lines and the browser's own
    options.readable_folders = readable
    options.engine = engine
    browser = launcher.kel_start(options)
    if browser == nil then
        lib.KEL_SetProcessCB(nil)
        lib = nil
        return nil, "cannot start the browser (see the log)"
    end
    return true
end

-- The plugin calls back into Lua from inside KEL_Update; LuaJIT allows that only from code
-- that is not compiled, so this function stays interpreted.
local function update()
    launcher.kel_update(browser)
end
jit.off(update)

-- Records received since the last call, oldest first.
function kel.poll()
    if not lib then return {} end
    update()
    local records = received
    received = {}
    return records
end

function kel.stop()
    if not lib then return end
    launcher.kel_stop(browser, 5000) -- EXIT, wait, reap, KEL_Shutdown
    browser = nil
    lib.KEL_SetProcessCB(nil)
    lib = nil
end

-- ---- Views --------------------------------------------------------------------------------

local View = {}
View.__index = View

local function clampSide(side)
    if side < 128 or side > 1024 then return side < 128 and side >= 0 and 128 or 1024 end
    return side
end

local function textureSide(side)
    local t = 128
    while t < clampSide(side) do t = t * 2 end
    return t
end

-- A view shown as a LÖVE Image, which keeps the frame's memory order (bottom row first) and is
-- drawn flipped.
--
-- By default the view paints into a frame area of its own (RATE: `rate` frames a second, 60
-- unless told, at `scale` percent, 100, 150 or 200), and View:takeFrame(), once per game frame,
-- takes the newest frame where it lies in shared memory: the whole frame is copied into the
-- image's ImageData, or, when the frame follows the one taken before, only its changed
-- rectangles, each into an ImageData of its size; either is then uploaded with
-- Image:replacePixels. (LÖVE takes pixels only from its own ImageData, so that one copy of the
-- changed pixels is the least it can do.) `options.texture = true` keeps the view on the texture
-- segment all views share (UPVW), whose frames are copied out as they are announced.
function kel.newView(name, width, height, options)
    options = options or {}
    local self = setmetatable({ name = name, title = "", address = "" }, View)
    self.onArea = not options.texture
    self.rate = options.rate or 60
    self.scale = options.scale or 100
    local units = utf16(name)
    self.name16 = ffi.new("uint16_t[?]", #units + 1) -- zeroed: the terminating unit is there
    for k = 1, #units do self.name16[k - 1] = units[k] end
    self.frame = ffi.new("KEL_Frame")
    self.frameNumber = nil -- of the frame the image holds
    self:setSize(width, height)
    kel.post(kel.command("CRVW", { [0] = width, height, 1 }, { [0] = name }))
    if self.onArea then
        kel.post(kel.command("RATE", { [0] = self.rate, self.scale }, { [0] = name }))
    end
    return self
end

-- The image: a power of two per side holding the view on the texture path; on the frame area
-- the painted frame itself, made when a frame of another size comes.
function View:makeImage(width, height)
    self.textureWidth, self.textureHeight = width, height
    self.data = love.image.newImageData(width, height, "rgba8")
    self.image = love.graphics.newImage(self.data)
    self.image:setFilter("linear", "linear")
end

function View:setSize(width, height)
    if self.onArea then
        self.width = math.max(16, math.min(width, 4096))
        self.height = math.max(16, math.min(height, 4096))
        return
    end
    self.width, self.height = clampSide(width), clampSide(height)
    local tw, th = textureSide(width), textureSide(height)
    if tw ~= self.textureWidth or th ~= self.textureHeight then self:makeImage(tw, th) end
    self.paintedWidth, self.paintedHeight = self.width, self.height
    self.quad = love.graphics.newQuad(0, self.textureHeight - self.height, self.width, self.height,
        self.textureWidth, self.textureHeight)
end

function View:load(address)
    local c = kel.loadCommand(self.name, address)
    if c then kel.post(c) else print("kel: address too long to load") end
end
function View:resize(w, h) kel.post(kel.command("RSIZ", { [0] = w, h }, { [0] = self.name })) end
function View:mouseMove(x, y) kel.post(kel.command("MPOS", { [0] = x, y }, { [0] = self.name })) end
function View:mousePress(x, y, button)
    kel.post(kel.command("MPRS", { [0] = x, y, button }, { [0] = self.name }))
end
function View:mouseRelease(x, y, button)
    kel.post(kel.command("MREL", { [0] = x, y, button }, { [0] = self.name }))
end
function View:scroll(amount) kel.post(kel.command("MSCL", { [0] = amount }, { [0] = self.name })) end
function View:keyDown(key, modifiers, text)
    kel.post(kel.command("KEYD", { [0] = key, modifiers }, { [0] = self.name, text or "" }))
end
function View:keyUp(key, modifiers, text)
    kel.post(kel.command("KEYU", { [0] = key, modifiers }, { [0] = self.name, text or "" }))
end
function View:evaluate(script)
    local slot, length = kel.putText(script)
    if slot < 0 then return 0 end
    return kel.post(kel.command("EVJS", { [0] = slot, length }, { [0] = self.name }))
end
function View:showHtml(html)
    local slot, length = kel.putText(html)
    if slot >= 0 then kel.post(kel.command("HTML", { [0] = slot, length }, { [0] = self.name })) end
end

local block = ffi.new("uint8_t[?]", 512 * 512 * 4)
local rectangleData, rectangleSizes = {}, 0 -- ImageData by size, reused

-- An ImageData of this size for a rectangle. An animated page changes rectangles of ever other
-- sizes, so the cache starts afresh once it holds many.
local function rectangleImage(w, h)
    local key = w .. "x" .. h
    local data = rectangleData[key]
    if not data then
        if rectangleSizes >= 64 then rectangleData, rectangleSizes = {}, 0 end
        data = love.image.newImageData(w, h, "rgba8")
        rectangleData[key] = data
        rectangleSizes = rectangleSizes + 1
    end
    return data
end

-- Takes the newest frame of the view's frame area, if newer than the last one taken, and
-- uploads it; returns "whole", "partial", or nil when none came. The frame stays held in shared
-- memory until the next take.
function View:takeFrame()
    if not self.onArea then return nil end
    local frame = self.frame
    if lib.KEL_TakeFrame(self.name16, frame) ~= 1 then return nil end
    local w, h, stride = frame.width, frame.height, frame.stride
    local whole = self.frameNumber == nil or frame.rectCount < 0 or w ~= self.textureWidth or
        h ~= self.textureHeight
    -- The rectangles are the change since frame changesSince: enough when the image holds
    -- that frame or a later one (numbers compared modulo 2^32).
    if not whole then
        local since = frame.changesSince
        whole = (self.frameNumber - since) % 4294967296 > (frame.number - since) % 4294967296
    end
    if w ~= self.textureWidth or h ~= self.textureHeight then
        self:makeImage(w, h)
        self.paintedWidth, self.paintedHeight = w, h
        self.quad = love.graphics.newQuad(0, 0, w, h, w, h)
    end
    self.frameNumber = frame.number
    local source = ffi.cast("const uint8_t *", frame.pixels)
    if whole then
        local target = ffi.cast("uint8_t *", self.data:getFFIPointer())
        if stride == w * 4 then
            ffi.copy(target, source, w * h * 4)
        else
            for row = 0, h - 1 do ffi.copy(target + row * w * 4, source + row * stride, w * 4) end
        end
        self.image:replacePixels(self.data)
        return "whole"
    end
    for i = 0, math.min(frame.rectCount, 16) - 1 do
        local r = frame.rects[i]
        local x0, row0 = math.max(0, r.x), math.max(0, r.y)
        local x1, row1 = math.min(w, r.x + r.width), math.min(h, r.y + r.height)
        if x0 < x1 and row0 < row1 then
            local data = rectangleImage(x1 - x0, row1 - row0)
            local target = ffi.cast("uint8_t *", data:getFFIPointer())
            for i2 = 0, row1 - row0 - 1 do
                ffi.copy(target + i2 * (x1 - x0) * 4, source + (row0 + i2) * stride + x0 * 4,
                    (x1 - x0) * 4)
            end
            self.image:replacePixels(data, nil, nil, x0, row0, false)
        end
    end
    return "partial"
end

-- Copies the waiting frame out of the texture segment (after UPVW for this view).
function View:takeTextureFrame()
    local update = ffi.new("KEL_TextureUpdate")
    update.pixels = self.data:getFFIPointer()
    update.width, update.height = self.textureWidth, self.textureHeight
    lib.KEL_UpdateTexture(true, 0, 0, update)
    if update.updated ~= 0 then
        self.image:replacePixels(self.data)
        return "whole"
    end
    local count = 0
    for group = 0, 1 do
        for index = 0, 1 do -- group 1 index 1 last: it releases the segment
            local rect = ffi.new("KEL_TextureUpdate")
            rect.pixels = block
            lib.KEL_UpdateTexture(false, group, index, rect)
            if rect.updated ~= 0 and rect.width > 0 and rect.height > 0 then
                count = count + self:applyRectangle(rect)
            end
        end
    end
    return count > 0 and "partial" or "none"
end

-- (x, y) is the block's top-left corner from the texture's top edge; it may reach past the
-- top or the right edge, which is cut off.
function View:applyRectangle(rect)
    local firstRow = self.textureHeight - rect.y - rect.height
    local row0 = math.max(0, firstRow)
    local row1 = math.min(self.textureHeight, firstRow + rect.height)
    local x0, x1 = math.max(0, rect.x), math.min(self.textureWidth, rect.x + rect.width)
    if row0 >= row1 or x0 >= x1 then return 0 end
    local w, h = x1 - x0, row1 - row0
    local data = rectangleImage(w, h)
    local target = ffi.cast("uint8_t *", data:getFFIPointer())
    for i = 0, h - 1 do
        ffi.copy(target + i * w * 4, block + ((row0 - firstRow + i) * rect.width + (x0 - rect.x)) * 4,
            w * 4)
    end
    -- The same pixels go into the view's own ImageData, so a later whole upload stays right.
    self.data:paste(data, x0, row0, 0, 0, w, h)
    self.image:replacePixels(data, nil, nil, x0, row0, false)
    return 1
end

-- Handles a record about this view; returns true when it did.
function View:handle(r)
    if r.view ~= self.name then return false end
    if r.origin == 0 and r.result ~= 0 then
        if r.code == "RSIZ" or (r.code == "CRVW" and r.result == 1) then
            self:setSize(r.ints[0], r.ints[1])
        elseif r.code == "RATE" and r.result == 1 then
            self.rateConfirmed = true
        elseif r.code == "RATE" and self.onArea and not self.rateConfirmed then
            -- Refused (a painted side above 4096): the browser keeps the view on the texture
            -- segment, and so does the view, or it would never show.
            self.onArea = false
            self:setSize(self.width, self.height)
        end
        return r.code ~= "EVJS"
    end
    if r.code == "UPVW" then
        if self.onArea then kel.releaseFrame() else self:takeTextureFrame() end
    elseif r.code == "LDFN" then
        self:takeFrame() -- the loaded page's frame is out before LDFN
        return false
    elseif r.code == "TITC" then
        self.title = r.strings[1]
    elseif r.code == "URLC" then
        self.address = r.text0
    else
        return false
    end
    return true
end

-- Draws the page at (x, y), its layout size times `scale`, flipped from the bottom-up rows (a
-- frame painted at a scale factor is drawn that much smaller).
function View:draw(x, y, scale)
    if not self.quad then return end -- no frame yet
    local k = scale * self.width / self.paintedWidth
    love.graphics.setBlendMode("alpha", "premultiplied")
    love.graphics.draw(self.image, self.quad, x, y + self.height * scale, 0, k, -k)
    love.graphics.setBlendMode("alpha")
end

-- Releases a frame nobody wanted, so frames keep flowing.
local scratch -- made once: a whole frame of the largest texture
function kel.releaseFrame()
    local update = ffi.new("KEL_TextureUpdate")
    scratch = scratch or ffi.new("uint8_t[?]", 1024 * 1024 * 4)
    update.pixels = scratch
    update.width, update.height = 1024, 1024
    lib.KEL_UpdateTexture(true, 0, 0, update)
    if update.updated == 0 then
        update.width, update.height = 0, 0
        lib.KEL_UpdateTexture(false, 1, 1, update)
    end
end

return kel
