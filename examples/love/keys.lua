-- LÖVE key names to the Qt key values that KEYD and KEYU carry (the same mapping as the C++
-- host kit's SDL table, by LÖVE's names). Keys that type a character map to its upper-case
-- form; the text itself comes from love.textinput.
local keys = {}

local F1 = 0x01000030
local named = {
    ["return"] = 0x01000004, escape = 0x01000000, backspace = 0x01000003, tab = 0x01000001,
    delete = 0x01000007, insert = 0x01000006, home = 0x01000010, ["end"] = 0x01000011,
    pageup = 0x01000016, pagedown = 0x01000017, left = 0x01000012, up = 0x01000013,
    right = 0x01000014, down = 0x01000015, capslock = 0x01000024, numlock = 0x01000025,
    scrolllock = 0x01000026, printscreen = 0x01000009, pause = 0x01000008, sysreq = 0x0100000a,
    clear = 0x0100000b, menu = 0x01000055, application = 0x01000055, help = 0x01000058,
    lshift = 0x01000020, rshift = 0x01000020, lctrl = 0x01000021, rctrl = 0x01000021,
    lalt = 0x01000023, ralt = 0x01000023, lgui = 0x01000053, rgui = 0x01000054,
    space = 0x20, kpenter = 0x01000005, ["kp."] = 0x2E, ["kp,"] = 0x2C, ["kp/"] = 0x2F,
    ["kp*"] = 0x2A, ["kp-"] = 0x2D, ["kp+"] = 0x2B, ["kp="] = 0x3D,
}
for i = 1, 24 do named["f" .. i] = F1 + i - 1 end
for i = 0, 9 do named["kp" .. i] = 0x30 + i end

-- The Qt key for a LÖVE key name, or 0.
function keys.qtKey(name)
    if named[name] then return named[name] end
    if #name == 1 then return string.byte(name:upper()) end
    return 0
end

-- The text Qt gives keys that type a control character.
local controlText = { ["return"] = "\r", kpenter = "\r", backspace = "\b", tab = "\t",
    escape = "\27" }
function keys.controlText(name) return controlText[name] or "" end

-- Whether love.textinput brings this key's text right after love.keypressed.
function keys.typesText(name)
    return (#name == 1 or name == "space" or name:match("^kp[%d%.%*%-%+/=,]$") ~= nil)
end

-- Modifier bits: 1 Meta, 2 Shift, 4 Control, 8 Alt.
function keys.modifiers()
    local down = love.keyboard.isDown
    local bits = 0
    if down("lgui", "rgui") then bits = bits + 1 end
    if down("lshift", "rshift") then bits = bits + 2 end
    if down("lctrl", "rctrl") then bits = bits + 4 end
    if down("lalt", "ralt") then bits = bits + 8 end
    return bits
end

return keys
