-- A small LÖVE scene with a web page on a panel: the player points, clicks and types into the
-- page; the page talks back to the game through the bridge object "game".
--
--     love examples/love [ADDRESS|FILE]
--
-- The plugin and the browser are found in the build tree, or at $KEL_PLUGIN_PATH and
-- $KEL_BROWSER_PATH. The panel's page paints into a frame area of its own, 60 frames a second;
-- each game frame uploads what changed (kel.lua). Lines on standard output tell what the page did ("INVK game method args",
-- "TITLE ...", "LOADED", "FIELD type", "PANEL x y scale"), for people and for tests.
io.stdout:setvbuf("line")

local kel = require("kel")
local keys = require("keys")

local PAGE_W, PAGE_H = 640, 400
local panel = { x = 192, y = 150, scale = 1 }

local view
local started, failure
local consoleLines = {}
local gameLines = {}
local pendingKey, pendingModifiers = 0, 0
local clock = 0

local menuPage = [[
<!doctype html><html><head><title>Game menu</title></head>
<body style="margin:0;font-family:sans-serif;background:#1d3557;color:#f1faee">
<div style="height:80px;background:#e63946;font-size:36px;line-height:80px;padding-left:24px">
KEL in LÖVE</div>
<p style="padding:0 24px">Your name: <input id="name" style="font-size:20px;width:260px"></p>
<p style="padding:0 24px"><button id="go" style="font-size:20px">Start</button></p>
<script>
document.getElementById('go').onclick = function () {
    game.invoke('start', document.getElementById('name').value);
};
document.getElementById('name').oninput = function (e) { game.invoke('typed', e.target.value); };
console.log('menu ready');
</script></body></html>]]

local function exampleDir()
    return love.filesystem.getSource()
end

local address = require("address")

local function addressFor(input)
    return (address.addressFor(input, address.resolveOnDisk))
end

local function addLine(list, text, keep)
    list[#list + 1] = text
    while #list > keep do table.remove(list, 1) end
end

function love.load(args)
    love.keyboard.setTextInput(false) -- on only while a text field of the page has focus
    love.keyboard.setKeyRepeat(true)
    -- love . [--engine wpe|qtwebkit] [ADDRESS|FILE]
    local engine = nil
    if args and args[1] == "--engine" then
        engine = args[2]
        table.remove(args, 1)
        table.remove(args, 1)
    end
    local target = args and args[1]
    local readable = nil
    if target and target ~= "" then
        local absolute, folder = address.resolveOnDisk(target)
        if absolute then readable = folder and absolute or absolute:match("^(.*)/[^/]*$") end
    end
    local ok, message = kel.start(exampleDir(), readable, engine)
    if not ok then
        failure = message
        print("KEL: " .. message)
        return
    end
    started = true
    -- The page's way back into the game.
    kel.post(kel.command("ADDO", {}, { [0] = "game" }))
    view = kel.newView("panel", PAGE_W, PAGE_H)
    if target and target ~= "" then
        view:load(addressFor(target))
    else
        view:showHtml(menuPage)
    end
    print(string.format("PANEL %d %d %g", panel.x, panel.y, panel.scale))
end

local function onRecord(r)
    if view:handle(r) then
        if r.code == "TITC" then print("TITLE " .. view.title) end
        return
    end
    if r.origin ~= 1 then return end
    if r.code == "UPVW" then
        kel.releaseFrame()
    elseif r.code == "LDFN" then
        print("LOADED")
    elseif r.code == "IMEI" then
        -- The field's rectangle on screen, for the input method's window.
        local s = panel.scale
        love.keyboard.setTextInput(true, panel.x + r.ints[2] * s, panel.y + r.ints[3] * s,
            r.ints[4] * s, r.ints[5] * s)
        print("FIELD " .. r.strings[1])
    elseif r.code == "IMEO" then
        love.keyboard.setTextInput(false)
    elseif r.code == "JLOG" then
        addLine(consoleLines, r.text0, 4)
        io.stderr:write(string.format("console: %s:%d: %s\n", r.text3, r.ints[2], r.text0))
    elseif r.code == "INVK" then
        local line = "INVK " .. r.strings[0] .. " " .. r.strings[1]
        for _, argument in ipairs(r.arguments) do line = line .. " " .. argument end
        print(line)
        addLine(gameLines, r.strings[1] .. "(" .. table.concat(r.arguments, ", ") .. ")", 3)
    end
end

function love.update(dt)
    clock = clock + dt
    if not started then return end
    for _, r in ipairs(kel.poll()) do onRecord(r) end
    view:takeFrame() -- the newest frame of the panel's page, if a new one came
end

-- Screen position to page position, or nil outside the panel.
local function toPage(x, y)
    local px = math.floor((x - panel.x) / panel.scale)
    local py = math.floor((y - panel.y) / panel.scale)
    if px < 0 or py < 0 or px >= PAGE_W or py >= PAGE_H then return nil end
    return px, py
end

local buttonCodes = { [1] = 0, [2] = 1, [3] = 2 } -- LÖVE: 1 left, 2 right, 3 middle

function love.mousemoved(x, y)
    local px, py = toPage(x, y)
    if view and px then view:mouseMove(px, py) end
end

function love.mousepressed(x, y, button)
    local px, py = toPage(x, y)
    if view and px then view:mousePress(px, py, buttonCodes[button] or 0) end
end

function love.mousereleased(x, y, button)
    local px, py = toPage(x, y)
    if view and px then view:mouseRelease(px, py, buttonCodes[button] or 0) end
end

function love.wheelmoved(_, dy)
    local px = toPage(love.mouse.getPosition())
    if view and px then view:scroll(dy * 48) end
end

function love.keypressed(name)
    if not view then
        if name == "escape" then love.event.quit() end
        return
    end
    local modifiers = keys.modifiers()
    local qt = keys.qtKey(name)
    -- A key that types text waits for love.textinput, so KEYD carries both.
    if love.keyboard.hasTextInput() and keys.typesText(name) and modifiers % 8 < 4 and
        modifiers < 8 then
        pendingKey, pendingModifiers = qt, modifiers
        return
    end
    if qt ~= 0 then view:keyDown(qt, modifiers, keys.controlText(name)) end
end

function love.textinput(text)
    if not view then return end
    local single = pendingKey ~= 0 and utf8 and #text <= 4
    view:keyDown(single and pendingKey or 0, single and pendingModifiers or 0, text)
    pendingKey = 0
end

function love.keyreleased(name)
    if not view then return end
    local qt = keys.qtKey(name)
    if qt ~= 0 then
        local text = keys.typesText(name) and "" or keys.controlText(name)
        view:keyUp(qt, keys.modifiers(), text)
    end
end

local function drawScene()
    local w, h = love.graphics.getDimensions()
    -- Sky and floor.
    love.graphics.clear(0.09, 0.11, 0.18)
    love.graphics.setColor(0.16, 0.2, 0.3)
    love.graphics.rectangle("fill", 0, h * 0.8, w, h * 0.2)
    -- A few crates that bob, so the scene is clearly alive around the page.
    for i, x in ipairs({ 40, 104, w - 144, w - 80 }) do
        local bob = math.sin(clock * 2 + i) * 6
        love.graphics.setColor(0.6, 0.42, 0.2)
        love.graphics.rectangle("fill", x, h * 0.8 - 50 + bob, 48, 48)
    end
    -- The panel's frame and stand.
    love.graphics.setColor(0.3, 0.3, 0.34)
    love.graphics.rectangle("fill", panel.x + PAGE_W / 2 - 10, panel.y + PAGE_H, 20, h * 0.8 - panel.y - PAGE_H)
    love.graphics.setColor(0.75, 0.75, 0.8)
    love.graphics.rectangle("fill", panel.x - 8, panel.y - 8, PAGE_W * panel.scale + 16,
        PAGE_H * panel.scale + 16, 6, 6)
end

function love.draw()
    drawScene()
    love.graphics.setColor(1, 1, 1)
    if not view then
        love.graphics.print("KEL could not start: " .. tostring(failure), 20, 20)
        return
    end
    view:draw(panel.x, panel.y, panel.scale)
    love.graphics.setColor(1, 1, 1)
    love.graphics.print(view.title ~= "" and view.title or view.address, panel.x, panel.y - 32)
    local y = love.graphics.getHeight() * 0.8 + 12 -- on the floor, clear of the panel
    for _, line in ipairs(gameLines) do
        love.graphics.setColor(0.6, 1, 0.6)
        love.graphics.print("game." .. line, 20, y)
        y = y + 16
    end
    for _, line in ipairs(consoleLines) do
        love.graphics.setColor(0.8, 0.8, 0.8)
        love.graphics.print("console: " .. line, 20, y)
        y = y + 16
    end
end

function love.quit()
    kel.stop()
end
