// kelview: browse with KEL in a desktop window (SDL 2).
//
//     kelview [--control] [ADDRESS|FILE]
//
// Each view paints into its own frame area (the host kit's default, 60 frames a second); every
// pump takes each window's newest frame, which is uploaded into the window's streaming texture
// straight from shared memory, only its changed rectangles when it follows the frame taken
// before. Alt+Left / Alt+Right go back and forward, F5 reloads, Ctrl+L types an address (Enter
// loads it, Escape cancels). Popups open in windows of their own. Console messages go to
// standard error.
//
// --control is for tests and scripts: kelview reads commands from standard input, one a line
// ("eval SCRIPT" evaluates in the main view and prints "RESULT value", "load ADDRESS" loads it
// in the main view, "quit" ends kelview; with --quit-at-end the end of input does too; else
// kelview runs on and keeps reporting), and reports what happens on standard output ("WINDOW view
// x11-id", "TITLE view title", "POPUP view", "POPC view", "LOADED view", "FIELD view type", "BLUR
// view", "RESIZE view width height").

#include "Address.h"
#include "CommandCodes.h"
#include "KELHost.h"
#include "KeyMap.h"
#include "Sandbox.h"
#include "View.h"

#include <SDL.h>
#include <SDL_syswm.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace KEL::Host;

namespace {

constexpr int kMainWidth = 1024, kMainHeight = 768;
constexpr int kWheelStep = 48; // pixels per wheel notch

const char *kFallbackPage =
    "<!doctype html><html><head><title>KEL</title></head>"
    "<body style='margin:0;font-family:sans-serif;background:#20303c;color:#eee'>"
    "<h1 style='margin:0;padding:24px;background:#2a6'>KEL</h1>"
    "<p style='padding:0 24px'>Type an address with Ctrl+L. Alt+Left and Alt+Right move "
    "through the history, F5 reloads.</p>"
    "<p style='padding:0 24px'><input id=field placeholder='a text field' size=40></p>"
    "</body></html>";

// The kit's address rule (Address.h): a file or folder, an address, or a host name.
std::string addressOf(const std::string &input) {
    return KEL::Host::addressFor(input).address;
}

// The address of a file; empty when there is none.
std::string fileAddress(const std::string &path) {
    const KEL::Host::Address address = KEL::Host::addressFor(path);
    return address.kind == KEL::Host::AddressKind::File ? address.address : std::string();
}

// The demo page: beside the program, in share/kel/examples beside its bin folder (the build
// tree and an installed prefix have that shape), or in the source tree it was built from.
std::string demoPage(const char *argv0) {
    std::string dir = ".";
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        dir = self;
        dir = dir.substr(0, dir.rfind('/'));
    } else if (const char *slash = std::strrchr(argv0, '/')) {
        dir.assign(argv0, slash);
    }
    for (const std::string &candidate :
         {dir + "/demo.html", dir + "/../share/kel/examples/demo.html",
          std::string(KEL_SOURCE_DIR) + "/examples/demo.html"}) {
        if (std::string address = fileAddress(candidate); !address.empty())
            return address;
    }
    return std::string();
}

struct Window {
    std::unique_ptr<View> view;
    SDL_Window *window = nullptr;
    SDL_Renderer *renderer = nullptr;
    SDL_Texture *texture = nullptr;
    bool dirty = true;
};

class Viewer {
  public:
    Viewer(Browser &browser, bool control, bool quitAtEnd)
        : m_browser(browser), m_control(control), m_reading(control), m_quitAtEnd(quitAtEnd) {}
    ~Viewer();

    bool openWindow(const std::string &name, int width, int height, bool create);
    void closeWindow(const std::string &name);
    void onRecord(const KEL_Command &record);
    bool handleEvent(const SDL_Event &event); // false: quit
    void render();
    bool readControl(); // false: quit
    View &mainView() { return *m_windows.at("main").view; }
    bool hasMain() const { return m_windows.count("main") != 0; }

  private:
    Window *windowFor(uint32_t windowId);
    void wire(Window &window);
    void upload(Window &window, const FramePiece &piece);
    bool handleKey(Window &window, const SDL_KeyboardEvent &key);
    void handleAddressKey(Window &window, const SDL_KeyboardEvent &key);
    void report(const std::string &line);
    void showTitle(Window &window);

    Browser &m_browser;
    bool m_control;
    bool m_reading;   // standard input has not ended
    bool m_quitAtEnd; // the end of standard input ends kelview
    std::map<std::string, Window> m_windows;
    std::string m_closing; // a popup whose window closes after the record in hand
    // The key whose text SDL_TEXTINPUT will bring: KEYD waits for it.
    int32_t m_pendingKey = 0;
    int32_t m_pendingModifiers = 0;
    // Ctrl+L: typing an address into the title bar.
    bool m_addressMode = false;
    std::string m_addressText;
    std::string m_controlLine;
};

Viewer::~Viewer() {
    for (auto &entry : m_windows) {
        SDL_DestroyTexture(entry.second.texture);
        SDL_DestroyRenderer(entry.second.renderer);
        SDL_DestroyWindow(entry.second.window);
    }
}

void Viewer::report(const std::string &line) {
    if (!m_control)
        return;
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

bool Viewer::openWindow(const std::string &name, int width, int height, bool create) {
    Window window;
    window.window = SDL_CreateWindow(name.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                     width, height, SDL_WINDOW_RESIZABLE);
    if (!window.window) {
        std::fprintf(stderr, "kelview: cannot open a window: %s\n", SDL_GetError());
        return false;
    }
    window.renderer = SDL_CreateRenderer(window.window, -1, 0);
    if (!window.renderer)
        window.renderer = SDL_CreateRenderer(window.window, -1, SDL_RENDERER_SOFTWARE);
    if (!window.renderer) {
        std::fprintf(stderr, "kelview: cannot render: %s\n", SDL_GetError());
        SDL_DestroyWindow(window.window);
        return false;
    }
    window.view = std::make_unique<View>(m_browser, name);
    Window &placed = m_windows[name] = std::move(window);
    wire(placed);
    if (create)
        placed.view->create(width, height);
    else
        placed.view->adopt(width, height);

    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(placed.window, &info) && info.subsystem == SDL_SYSWM_X11)
        report("WINDOW " + name + " " +
               std::to_string(static_cast<unsigned long>(info.info.x11.window)));
    return true;
}

void Viewer::closeWindow(const std::string &name) {
    auto it = m_windows.find(name);
    if (it == m_windows.end())
        return;
    it->second.view->remove();
    SDL_DestroyTexture(it->second.texture);
    SDL_DestroyRenderer(it->second.renderer);
    SDL_DestroyWindow(it->second.window);
    m_windows.erase(it);
}

void Viewer::wire(Window &window) {
    View &view = *window.view;
    const std::string name = view.name();
    view.onTextureSize = [this, &window](int32_t width, int32_t height) {
        if (window.texture)
            SDL_DestroyTexture(window.texture);
        // ABGR8888 is R, G, B, A in memory on little-endian machines: the frame's byte order.
        window.texture = SDL_CreateTexture(window.renderer, SDL_PIXELFORMAT_ABGR8888,
                                           SDL_TEXTUREACCESS_STREAMING, width, height);
        SDL_SetTextureBlendMode(window.texture, SDL_BLENDMODE_NONE);
    };
    view.onFrame = [this, &window](const FramePiece &piece) { upload(window, piece); };
    view.onTitle = [this, &window, name](const std::string &title) {
        showTitle(window);
        report("TITLE " + name + " " + title);
    };
    view.onLoaded = [this, name] { report("LOADED " + name); };
    view.onFieldFocus = [this, name](const TextField &field) {
        // The input method's window goes next to the field (view pixels are window pixels).
        SDL_Rect rect{field.left, field.top, field.width, field.height};
        SDL_SetTextInputRect(&rect);
        report("FIELD " + name + " " + field.type);
    };
    view.onFieldBlur = [this, name] { report("BLUR " + name); };
    view.onResult = [this](uint32_t, const std::string &value) { report("RESULT " + value); };
}

// The texture keeps the frame's memory order (bottom row first) and is drawn flipped, so each
// piece goes in as it came: no row reversal, no copy of the whole texture.
void Viewer::upload(Window &window, const FramePiece &piece) {
    if (!window.texture)
        return;
    SDL_Rect rect{piece.x, piece.row, piece.width, piece.height};
    SDL_UpdateTexture(window.texture, piece.whole ? nullptr : &rect, piece.pixels, piece.pitch);
    window.dirty = true;
}

void Viewer::showTitle(Window &window) {
    std::string title;
    if (m_addressMode && window.view->name() == "main")
        title = "Address: " + m_addressText + "_";
    else
        title = (window.view->title().empty() ? window.view->address() : window.view->title()) +
                " - kelview";
    SDL_SetWindowTitle(window.window, title.c_str());
}

void Viewer::onRecord(const KEL_Command &record) {
    using namespace KEL;
    if (record.origin == 1 && hasCode(record, Code::POPU)) {
        const std::string name = takePopupName(record);
        if (!name.empty() && !m_windows.count(name) &&
            openWindow(name, record.intArgs[2] > 0 ? record.intArgs[2] : 800,
                       record.intArgs[3] > 0 ? record.intArgs[3] : 600, false))
            report("POPUP " + name);
        return;
    }
    if (record.origin == 1 && hasCode(record, Code::POPC)) {
        const std::string name = takePopupName(record);
        if (name != "main" && m_windows.count(name)) {
            m_closing = name;
            report("POPC " + name);
        }
        return;
    }
    if (record.origin == 1 && hasCode(record, Code::JLOG)) {
        const ConsoleMessage message = takeConsoleMessage(record);
        std::fprintf(stderr, "console: %s:%d: %s\n", message.source.c_str(), message.line,
                     message.message.c_str());
        return;
    }
    if (record.origin == 1 && hasCode(record, Code::INVK)) {
        const Invocation call = takeInvocation(record);
        std::string line = "INVK " + call.object + " " + call.method;
        for (const std::string &argument : call.arguments)
            line += " " + argument;
        report(line);
        return;
    }
    for (auto &entry : m_windows) {
        if (entry.second.view->handle(record))
            return;
    }
    if (isFrameNotice(record))
        releaseFrame();
}

Window *Viewer::windowFor(uint32_t windowId) {
    for (auto &entry : m_windows) {
        if (SDL_GetWindowID(entry.second.window) == windowId)
            return &entry.second;
    }
    return nullptr;
}

int32_t buttonCode(uint8_t sdlButton) {
    return sdlButton == SDL_BUTTON_RIGHT ? 1 : sdlButton == SDL_BUTTON_MIDDLE ? 2 : 0;
}

// The text Qt gives the keys that type a control character.
const char *controlText(int32_t qtKey) {
    switch (qtKey) {
    case QtKey::Return:
    case QtKey::Enter:
        return "\r";
    case QtKey::Backspace:
        return "\b";
    case QtKey::Tab:
        return "\t";
    case QtKey::Escape:
        return "\x1b";
    default:
        return "";
    }
}

// Keys whose text SDL_TEXTINPUT brings right after their SDL_KEYDOWN.
bool typesText(const SDL_Keysym &key) {
    return SDL_IsTextInputActive() && key.sym >= 0x20 && key.sym < (1 << 30) && key.sym != 0x7F &&
           (key.mod & (KMOD_CTRL | KMOD_ALT | KMOD_GUI)) == 0;
}

bool Viewer::handleKey(Window &window, const SDL_KeyboardEvent &key) {
    View &view = *window.view;
    const int32_t modifiers = modifierBitsFromSdl(key.keysym.mod);
    const int32_t qtKey = qtKeyFromSdl(key.keysym.sym);
    if (key.type == SDL_KEYDOWN) {
        const bool alt = modifiers == kModAlt, ctrl = modifiers == kModControl;
        if (alt && qtKey == QtKey::Left)
            return view.back(), true;
        if (alt && qtKey == QtKey::Right)
            return view.forward(), true;
        if (modifiers == 0 && qtKey == QtKey::F5)
            return view.reload(), true;
        if (ctrl && qtKey == QtKey::L && view.name() == "main") {
            m_addressMode = true;
            m_addressText.clear();
            showTitle(window);
            return true;
        }
        if (typesText(key.keysym)) {
            m_pendingKey = qtKey;
            m_pendingModifiers = modifiers;
            return true;
        }
        view.keyDown(qtKey, modifiers, controlText(qtKey));
    } else {
        view.keyUp(qtKey, modifiers, typesText(key.keysym) ? "" : controlText(qtKey));
    }
    return true;
}

void Viewer::handleAddressKey(Window &window, const SDL_KeyboardEvent &key) {
    if (key.type != SDL_KEYDOWN)
        return;
    if (key.keysym.sym == SDLK_RETURN || key.keysym.sym == SDLK_KP_ENTER) {
        m_addressMode = false;
        if (!m_addressText.empty())
            window.view->load(addressOf(m_addressText));
    } else if (key.keysym.sym == SDLK_ESCAPE) {
        m_addressMode = false;
    } else if (key.keysym.sym == SDLK_BACKSPACE && !m_addressText.empty()) {
        // Remove one UTF-8 character.
        size_t at = m_addressText.size() - 1;
        while (at > 0 && (static_cast<unsigned char>(m_addressText[at]) & 0xC0) == 0x80)
            --at;
        m_addressText.erase(at);
    }
    showTitle(window);
}

bool Viewer::handleEvent(const SDL_Event &event) {
    switch (event.type) {
    case SDL_QUIT:
        return false;
    case SDL_WINDOWEVENT: {
        Window *window = windowFor(event.window.windowID);
        if (!window)
            break;
        if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
            if (window->view->name() == "main")
                return false;
            closeWindow(window->view->name());
        } else if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
            window->view->resize(event.window.data1, event.window.data2);
            report("RESIZE " + window->view->name() + " " + std::to_string(event.window.data1) +
                   " " + std::to_string(event.window.data2));
        } else if (event.window.event == SDL_WINDOWEVENT_EXPOSED) {
            window->dirty = true;
        }
        break;
    }
    case SDL_MOUSEMOTION:
        if (Window *window = windowFor(event.motion.windowID))
            window->view->mouseMove(event.motion.x, event.motion.y);
        break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
        if (Window *window = windowFor(event.button.windowID)) {
            const int32_t button = buttonCode(event.button.button);
            if (event.type == SDL_MOUSEBUTTONDOWN)
                window->view->mousePress(event.button.x, event.button.y, Button(button));
            else
                window->view->mouseRelease(event.button.x, event.button.y, Button(button));
        }
        break;
    case SDL_MOUSEWHEEL:
        if (Window *window = windowFor(event.wheel.windowID)) {
            const int direction = event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1 : 1;
            window->view->scroll(event.wheel.y * direction * kWheelStep);
        }
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
        if (Window *window = windowFor(event.key.windowID)) {
            if (m_addressMode && window->view->name() == "main")
                handleAddressKey(*window, event.key);
            else
                handleKey(*window, event.key);
        }
        break;
    case SDL_TEXTINPUT:
        if (Window *window = windowFor(event.text.windowID)) {
            if (m_addressMode && window->view->name() == "main") {
                m_addressText += event.text.text;
                showTitle(*window);
            } else {
                // One key typed one character: KEYD carries both. A longer text (an input
                // method's result) goes with key 0.
                const bool single = SDL_strlen(event.text.text) <= 4 && m_pendingKey != 0;
                window->view->keyDown(single ? m_pendingKey : 0, single ? m_pendingModifiers : 0,
                                      event.text.text);
            }
        }
        m_pendingKey = 0;
        break;
    default:
        break;
    }
    return true;
}

void Viewer::render() {
    if (!m_closing.empty()) {
        closeWindow(m_closing);
        m_closing.clear();
    }
    for (auto &entry : m_windows) {
        Window &window = entry.second;
        if (!window.dirty)
            continue;
        window.dirty = false;
        SDL_SetRenderDrawColor(window.renderer, 48, 48, 48, 255);
        SDL_RenderClear(window.renderer);
        const View &view = *window.view;
        if (window.texture) {
            // The page fills the first columns of the last rows in memory (on the frame area,
            // the whole frame).
            SDL_Rect source{0, view.textureHeight() - view.paintedHeight(), view.paintedWidth(),
                            view.paintedHeight()};
            // At the frame's own layout size: until the frame of a new size comes, the old one
            // is drawn as it was, not stretched.
            const int32_t scale = view.path() == FramePath::Area ? view.scalePercent() : 100;
            SDL_Rect target{0, 0, view.paintedWidth() * 100 / scale,
                            view.paintedHeight() * 100 / scale};
            SDL_RenderCopyEx(window.renderer, window.texture, &source, &target, 0, nullptr,
                             SDL_FLIP_VERTICAL);
        }
        SDL_RenderPresent(window.renderer);
    }
}

bool Viewer::readControl() {
    if (!m_reading)
        return true;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (poll(&input, 1, 0) > 0 && (input.revents & (POLLIN | POLLHUP))) {
        char buffer[4096];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // End of input: stop reading; reports go on unless the caller asked to quit.
            m_reading = false;
            return !m_quitAtEnd;
        }
        m_controlLine.append(buffer, size_t(n));
        size_t end;
        while ((end = m_controlLine.find('\n')) != std::string::npos) {
            const std::string line = m_controlLine.substr(0, end);
            m_controlLine.erase(0, end + 1);
            if (line == "quit")
                return false;
            if (line.rfind("eval ", 0) == 0 && hasMain())
                mainView().evaluate(line.substr(5));
            else if (line.rfind("load ", 0) == 0 && hasMain())
                mainView().load(addressFor(line.substr(5)).address);
            else
                report("ERROR unknown command: " + line);
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    bool control = false;
    bool quitAtEnd = false;
    std::string engine;
    std::string target;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--control") {
            control = true;
        } else if (arg == "--quit-at-end") {
            quitAtEnd = true;
        } else if (arg == "--engine" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "wpe" || std::string(argv[i + 1]) == "qtwebkit")) {
            engine = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::printf(
                "usage: kelview [--engine wpe|qtwebkit] [--control [--quit-at-end]] "
                "[ADDRESS|FILE]\n"
                "  Alt+Left/Right history, F5 reload, Ctrl+L type an address\n"
                "  --control      read \"eval SCRIPT\", \"load ADDRESS\" and \"quit\" lines from\n"
                "                 standard input and report windows, titles, popups and results\n"
                "                 on standard output\n"
                "  --quit-at-end  with --control: quit when standard input ends\n"
                "  --engine       WPE WebKit (the default where it is built) or QtWebKit\n");
            return 0;
        } else {
            target = arg;
        }
    }
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "kelview: %s\n", SDL_GetError());
        return 1;
    }
    // Text input stays on for the whole run, not only between IMEI and IMEO: text areas,
    // editable elements and search, e-mail or number fields never raise IMEI, and a desktop
    // always has its keyboard. Without text a letter would reach the page as a bare key.
    SDL_StartTextInput();

    Browser browser;
    StartOptions options;
    options.engine = engine;
    // The sandbox's /tmp is empty: a page file given here is shown from its own folder.
    if (!target.empty())
        options.sandboxReadable = {folderOfFileAddress(addressFor(target).address)};
    if (!browser.start(options)) {
        std::fprintf(stderr, "kelview: %s\n", browser.error().c_str());
        SDL_Quit();
        return 1;
    }
    int status = 0;
    {
        Viewer viewer(browser, control, quitAtEnd);
        browser.setNoticeHandler([&viewer](const KEL_Command &record) { viewer.onRecord(record); });
        // Let page script open popups: they become windows of their own.
        KEL_Command allowPopups = makeCommand(KEL::Code::ALWP);
        setInt(allowPopups, 0, 1);
        browser.post(allowPopups);

        if (!viewer.openWindow("main", kMainWidth, kMainHeight, true)) {
            status = 1;
        } else {
            const std::string address = target.empty() ? demoPage(argv[0]) : addressOf(target);
            if (address.empty())
                viewer.mainView().showHtml(kFallbackPage);
            else
                viewer.mainView().load(address);
            bool running = true;
            while (running && browser.running()) {
                SDL_Event event;
                if (SDL_WaitEventTimeout(&event, 8)) {
                    do
                        running = viewer.handleEvent(event) && running;
                    while (running && SDL_PollEvent(&event));
                }
                running = viewer.readControl() && running;
                browser.pump(); // records, and each view's newest frame
                viewer.render();
            }
            if (!browser.running()) {
                std::fprintf(stderr, "kelview: the browser process ended\n");
                status = 1;
            }
        }
        browser.setNoticeHandler(nullptr);
        browser.stop();
    }
    SDL_Quit();
    return status;
}
