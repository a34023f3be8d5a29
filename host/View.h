#pragma once
// One view of the browser as a host sees it: create, load, resize, forward mouse and keys,
// and take its frames. A host feeds every record it receives to handle(); the view answers to
// its own replies and notices and copies its frames out of the texture segment as they come.
//
//     KEL::Host::Browser browser;
//     browser.start();
//     KEL::Host::View view(browser, "main");
//     view.onFrame = [&](const KEL::Host::FramePiece &piece) { upload(piece); };
//     browser.setNoticeHandler([&](const KEL_Command &r) {
//         if (!view.handle(r) && KEL::Host::isFrameNotice(r)) KEL::Host::releaseFrame(); });
//     view.create(1024, 768);
//     view.load("https://example.org/");
//     for (;;) { browser.pump(); ... view.mouseMove(x, y); ... }

#include "FrameTaking.h"
#include "KELHost.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace KEL {
namespace Host {

// A text field that got the focus (IMEI): its type, text and rectangle in view pixels.
struct TextField {
    std::string type, text;
    int32_t left = 0, top = 0, width = 0, height = 0;
};

// A script console message (JLOG).
struct ConsoleMessage {
    std::string message, source;
    int32_t line = 0;
    std::string view; // the view whose page logged
};

// A call that page script made on a bridge object (INVK). An argument the page left undefined
// between others (invoke('m', undefined, 'x')) is an empty text.
struct Invocation {
    std::string object, method;
    std::vector<std::string> arguments;
    std::string view; // the view whose page called
};

// Mouse buttons of MPRS / MREL.
enum class Button : int32_t { Left = 0, Right = 1, Middle = 2 };

class View {
  public:
    View(Browser &browser, std::string name);
    View(const View &) = delete;
    View &operator=(const View &) = delete;

    const std::string &name() const { return m_name; }

    // Posts CRVW (partial deliveries on unless told otherwise). The view exists once the reply
    // has been handled.
    void create(int32_t width, int32_t height, bool partialFrames = true);
    // For a view the browser made itself (a popup, 800 x 600): adopt its size.
    void adopt(int32_t width, int32_t height);
    void remove();

    void load(const std::string &address);
    void showHtml(const std::string &html);
    void resize(int32_t width, int32_t height);
    void back();
    void forward();
    // Loads the current address again (the browser has no reload request of its own).
    void reload();
    // Posts EVJS; the reply's value goes to onResult with the returned sequence number.
    uint32_t evaluate(const std::string &script);
    // IMES: the focused text field's new value.
    void setFieldText(const std::string &text);

    void mouseMove(int32_t x, int32_t y);
    void mousePress(int32_t x, int32_t y, Button button = Button::Left);
    void mouseRelease(int32_t x, int32_t y, Button button = Button::Left);
    // Positive amounts scroll towards the top.
    void scroll(int32_t amount);
    // Qt key (see KeyMap.h), modifier bits, and the text the key typed (empty for none).
    void keyDown(int32_t qtKey, int32_t modifiers, const std::string &text = std::string());
    void keyUp(int32_t qtKey, int32_t modifiers, const std::string &text = std::string());

    // Handles a record if it is about this view (replies to its requests, its notices, its
    // frames, its page's console messages, bridge calls and popups) and returns true; false
    // leaves it to the host.
    bool handle(const KEL_Command &record);

    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    int32_t textureWidth() const { return m_textureWidth; }
    int32_t textureHeight() const { return m_textureHeight; }
    // The view's texture with every delivery applied (texture layout).
    const std::vector<uint8_t> &texture() const { return m_texture; }
    const std::string &title() const { return m_title; }
    const std::string &address() const { return m_address; }
    bool exists() const { return m_exists; }

    std::function<void(const FramePiece &)> onFrame;
    // After the texture size changed (create, resize, adopt): recreate the host's texture.
    std::function<void(int32_t textureWidth, int32_t textureHeight)> onTextureSize;
    std::function<void(const std::string &)> onTitle;
    std::function<void(const std::string &)> onAddress;
    std::function<void(int32_t percent)> onProgress;
    std::function<void()> onLoaded;
    std::function<void(const TextField &)> onFieldFocus;
    std::function<void()> onFieldBlur;
    std::function<void(uint32_t sequence, const std::string &value)> onResult;
    // Notices of this view's page: a console message (JLOG), a bridge call (INVK), a popup it
    // opened (POPU, the new view's name) and, for a popup view, its page asking to close
    // (POPC). Without a callback the record's payloads are freed all the same.
    std::function<void(const ConsoleMessage &)> onConsoleMessage;
    std::function<void(const Invocation &)> onInvocation;
    std::function<void(const std::string &popupName)> onPopup;
    std::function<void()> onCloseRequest;

  private:
    KEL_Command request(const char *code) const;
    void mouse(const char *code, int32_t x, int32_t y, int32_t button);
    void key(const char *code, int32_t qtKey, int32_t modifiers, const std::string &text);
    void setSize(int32_t width, int32_t height);
    void takeFrame();
    bool handleReply(const KEL_Command &record);
    bool handleNotice(const KEL_Command &record);

    Browser &m_browser;
    std::string m_name;
    std::u16string m_name16;
    bool m_exists = false;
    int32_t m_width = 0, m_height = 0, m_textureWidth = 0, m_textureHeight = 0;
    std::vector<uint8_t> m_texture;
    FrameTaker m_taker;
    std::string m_title, m_address;
};

// ---- Records that name no view ------------------------------------------------------------

// UPVW: a frame waits in the texture segment.
bool isFrameNotice(const KEL_Command &record);
// Releases a waiting frame that no view wanted (a view the host does not know), so frames of
// the other views keep flowing.
void releaseFrame();
// The view a record is about: strArgs[0], or for INVK strArgs[2].
std::u16string viewOf(const KEL_Command &record);
// Each of these moves the record's payloads out of the data segment: call it once per record.
// (View::handle calls them for its own view's records.)
std::string takePopupName(const KEL_Command &record); // POPU, POPC
ConsoleMessage takeConsoleMessage(const KEL_Command &record);
Invocation takeInvocation(const KEL_Command &record);

} // namespace Host
} // namespace KEL
