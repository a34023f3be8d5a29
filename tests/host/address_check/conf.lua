-- No window, no sound: the check runs without a display.
function love.conf(t)
    t.window = false
    for _, name in ipairs({"audio", "graphics", "image", "joystick", "keyboard", "mouse",
                           "physics", "sound", "touch", "video", "window", "font"}) do
        t.modules[name] = false
    end
end
