-- Runs examples/love/address.lua over the shared case table: love address_check LOVE_DIR CASES
function love.load(arg)
    local exampleDir, casesPath = arg[1], arg[2]
    package.path = exampleDir .. "/?.lua;" .. package.path
    local address = require("address")
    local exists, cases = {}, {}
    for line in io.lines(casesPath) do
        if line:sub(1, 1) ~= "#" and line ~= "" then
            local fields = {}
            for field in (line .. "\t"):gmatch("([^\t]*)\t") do fields[#fields + 1] = field end
            if fields[1] == "exists" then
                exists[fields[2]] = {fields[3], fields[4] == "folder"}
            elseif fields[1] == "case" then
                cases[#cases + 1] = {input = fields[2], kind = fields[3], address = fields[4]}
            end
        end
    end
    local resolve = function(path)
        local entry = exists[path]
        if entry then return entry[1], entry[2] end
        return nil
    end
    local failed = 0
    for _, c in ipairs(cases) do
        local got, kind = address.addressFor(c.input, resolve)
        if got ~= c.address or kind ~= c.kind then
            failed = failed + 1
            print(string.format("MISMATCH %q: %s %q, expected %s %q", c.input, kind, got,
                                c.kind, c.address))
        end
    end
    print(string.format("checked %d cases, %d mismatches", #cases, failed))
    io.stdout:flush()
    love.event.quit(failed == 0 and #cases > 0 and 0 or 1)
end
