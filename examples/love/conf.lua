function love.conf(t)
    t.identity = "kel-love"
    t.version = "11.4"
    t.window.title = "KEL in LÖVE"
    t.window.width = 1024
    t.window.height = 720
    t.window.resizable = false
    t.modules.audio = false -- the scene is silent; no sound device needed
    t.modules.sound = false
    t.modules.joystick = false
    t.modules.physics = false
end
