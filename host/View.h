#pragma once
// One view of the browser as a host sees it: create, load, resize, forward mouse and keys,
// and take its frames. A host feeds every record it receives to handle(), and the view answers
// to its own replies and notices; each Browser::pump() also takes the view's newest frame and
// hands it to onFrame.
//
//     KEL::Host::Browser browser;
//     browser.start();
//     KEL::Host::View view(browser, "main");
//     view.onFrame = [&](const KEL::Host::FramePiece &piece) { upload(piece); };
//     browser.setNoticeHandler([&](const KEL_Command &r) {
//         if (!view.handle(r) && KEL::Host::isFrameNotice(r)) KEL::Host::releaseFrame(); });
//     view.create(1920, 1080);
//     view.load("https://example.org/");
//     for (;;) { browser.pump(); ... view.mouseMove(x, y); ... }
//
// By default a view paints into a frame area of its own (RATE, 60 frames a second, scale 1):
// takeFrame() (called by pump) holds the newest frame in shared memory and onFrame's pieces
// point into it, so nothing is copied on the way to the host's upload. ViewOptions picks the rate,
// the scale, a copy kept for the host (texture()), or the texture segment that every view shares
// (UPVW, one frame per browser tick, up to 1024 a side), on which frames are copied as they come.

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

// How a view's frames reach the host.
enum class FramePath : int32_t {
    // Its own frame area (RATE): its own rate, up to 4096 painted pixels a side, a scale
    // factor; frames are taken with View::takeFrame() and not copied.
    Area,
    // The texture segment all views share (UPVW): frames are copied out as they are announced.
    Texture,
};

struct ViewOptions {
    FramePath path = FramePath::Area;
    // Frame area: frames a second, 0..60 (0: only when asked, View::requestFrame()).
    int32_t rate = 60;
    // Frame area: the page is laid out at the view's size and painted at this percentage of it
    // (100, 150 or 200), for high-density screens.
    int32_t scalePercent = 100;
    // Frame area: also keep a packed copy of the newest frame in texture() (costs a copy of
    // each change); off, the frame exists only in shared memory.
    bool keepCopy = false;
};

// Mouse buttons of MPRS / MREL.
enum class Button : int32_t { Left = 0, Right = 1, Middle = 2 };

class View {
  public:
    // The view registers with the browser, whose pump() then takes its frames.
    explicit View(Browser &browser, std::string name, ViewOptions options = ViewOptions());
    // Hands a held frame back and leaves the browser's pump() (a View may outlive its Browser).
    ~View();
    View(const View &) = delete;
    View &operator=(const View &) = delete;

    const std::string &name() const { return m_name; }

    // Posts CRVW (partial deliveries on unless told otherwise), and on the frame area RATE
    // with the options' rate and scale. The view exists once the reply has been handled. Sides
    // are 16..4096 / scale on the frame area (painted sides at most 4096), 128..1024 on the
    // texture segment.
    void create(int32_t width, int32_t height, bool partialFrames = true);
    // For a view the browser made itself (a popup, 800 x 600): adopt its size, and on the
    // frame area post RATE for it.
    void adopt(int32_t width, int32_t height);
    // Posts RMVW; a held frame is handed back first.
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

    // ---- Frames on the frame area ----
    // Changes the rate (0..60) and scale (100, 150, 200); a view on the texture path moves to
    // its frame area. Values out of range are refused by the browser, which keeps what it had.
    void setRate(int32_t rate, int32_t scalePercent = 100);
    // FRAM: paint and publish a frame now (for rate 0, or a frame the host must have at once).
    void requestFrame();
    // Takes the newest frame if it is newer than the last one taken, and hands it to onFrame:
    // only its changed rectangles when they are the change from the frame taken before, the
    // whole frame otherwise (the first one, after frames were skipped, after a size change).
    // Pieces point into the frame, held in shared memory until the next takeFrame() or
    // releaseFrame(). True when a new frame came. Does nothing on the texture path, nor from
    // inside onFrame. Browser::pump() calls it; a host may call it too, to take a frame at a
    // moment of its choosing.
    bool takeFrame();
    // The frame held now (null for none): pixels in shared memory, rows bottom first,
    // `stride` bytes apart; the changed rectangles and the frame number as the browser gave them.
    const KEL_Frame *frame() const;
    // Hands the held frame back (the browser may paint into its slot again).
    void releaseFrame();

    // Handles a record if it is about this view (replies to its requests, its notices, its
    // frames, its page's console messages, bridge calls and popups) and returns true; false
    // leaves it to the host.
    bool handle(const KEL_Command &record);

    FramePath path() const { return m_path; }
    // The page's size (layout pixels).
    int32_t width() const { return m_width; }
    int32_t height() const { return m_height; }
    // The host texture the pieces go into: on the texture path a power of two per side that
    // holds the view; on the frame area the painted frame itself (view size times scale).
    int32_t textureWidth() const { return m_textureWidth; }
    int32_t textureHeight() const { return m_textureHeight; }
    // The part of that texture the page covers, counted from its first column and its last
    // row in memory (the page's top row): the view's size on the texture path, the whole
    // frame on the frame area.
    int32_t paintedWidth() const;
    int32_t paintedHeight() const;
    int32_t scalePercent() const { return m_options.scalePercent; }
    // The view's texture with every delivery applied (texture layout): always on the texture
    // path, on the frame area only with ViewOptions::keepCopy (packed, textureWidth() wide).
    const std::vector<uint8_t> &texture() const { return m_texture; }
    // The number of the last frame taken (frame area; 0 before the first).
    uint32_t frameNumber() const { return m_frameNumber; }
    const std::string &title() const { return m_title; }
    const std::string &address() const { return m_address; }
    bool exists() const { return m_exists; }

    // Each piece of a new frame: the whole texture, or one changed rectangle of it.
    std::function<void(const FramePiece &)> onFrame;
    // After the texture size changed (create, resize, adopt, or a frame of another painted
    // size): recreate the host's texture. The next piece is a whole one.
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
    void takeTextureFrame();
    void postRate();
    void forgetFrame();
    void deliver(const KEL_Frame &frame, bool whole);
    bool handleReply(const KEL_Command &record);
    bool handleNotice(const KEL_Command &record);

    friend class Browser;
    Browser &m_browser;
    bool m_browserGone = false; // the Browser was destroyed first
    bool m_delivering = false;  // inside onFrame
    std::string m_name;
    std::u16string m_name16;
    ViewOptions m_options;
    FramePath m_path;
    bool m_ratePosted = false;    // a RATE for this view went out
    bool m_rateConfirmed = false; // the browser accepted a RATE for this view
    bool m_exists = false;
    // The frame area's frame held now, under the plugin's segments of m_heldEpoch.
    KEL_Frame m_frame{};
    bool m_holding = false;
    uint64_t m_heldEpoch = 0;
    uint32_t m_frameNumber = 0;
    bool m_haveFrame = false; // the host's texture holds frame m_frameNumber
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
