#include "View.h"

#include "CommandCodes.h"
#include "TextureSize.h"

#include <algorithm>
#include <cstring>

namespace KEL {
namespace Host {

namespace {

// Which string argument names the view: INVK's first two are the object and the method.
int viewArgument(const KEL_Command &record) {
    return hasCode(record, Code::INVK) ? 2 : 0;
}

bool namesView(const KEL_Command &record, const std::u16string &name) {
    const uint16_t *text = record.strArgs[viewArgument(record)];
    for (size_t i = 0; i < name.size(); ++i) {
        if (i >= KEL_COMMAND_STR_UNITS || text[i] != name[i])
            return false;
    }
    return name.size() >= KEL_COMMAND_STR_UNITS || text[name.size()] == 0;
}

// The browser's smallest side of a view on its frame area.
constexpr uint32_t kMinFrameAreaSide = 16;

// Number of string arguments the address may fill after the view name.
constexpr int kAddressSlots = KEL_COMMAND_STR_ARGS - 1;
constexpr size_t kUnitsPerSlot = KEL_COMMAND_STR_UNITS - 1;

} // namespace

View::View(Browser &browser, std::string name, ViewOptions options)
    : m_browser(browser), m_name(std::move(name)), m_name16(utf16(m_name)), m_options(options),
      m_path(options.path) {
    m_browser.m_views.push_back(this);
}

View::~View() {
    if (m_browserGone)
        return;
    releaseFrame();
    auto &views = m_browser.m_views;
    views.erase(std::remove(views.begin(), views.end(), this), views.end());
}

KEL_Command View::request(const char *code) const {
    KEL_Command command = makeCommand(code);
    setString(command, 0, m_name16);
    return command;
}

void View::create(int32_t width, int32_t height, bool partialFrames) {
    KEL_Command command = request(Code::CRVW);
    setInt(command, 0, width);
    setInt(command, 1, height);
    setInt(command, 2, partialFrames ? 1 : 0);
    m_browser.post(command);
    // In the same tick as CRVW, so the view's first frame already goes to its frame area.
    if (m_path == FramePath::Area)
        postRate();
}

void View::adopt(int32_t width, int32_t height) {
    m_exists = true;
    setSize(width, height);
    // A popup the browser made: no CRVW of the host's asked for its frame area.
    if (m_path == FramePath::Area && !m_ratePosted)
        postRate();
}

void View::remove() {
    releaseFrame();
    m_browser.post(request(Code::RMVW));
    m_exists = false;
    m_ratePosted = m_rateConfirmed = false;
    m_haveFrame = false;
}

void View::postRate() {
    KEL_Command command = request(Code::RATE);
    setInt(command, 0, m_options.rate);
    setInt(command, 1, m_options.scalePercent);
    m_browser.post(command);
    m_ratePosted = true;
}

void View::setRate(int32_t rate, int32_t scalePercent) {
    m_options.rate = rate;
    m_options.scalePercent = scalePercent;
    if (m_path == FramePath::Texture) {
        // Frames from now on come from the frame area; the texture's copy is no use to it.
        m_path = FramePath::Area;
        m_rateConfirmed = false;
        m_texture.clear();
        m_textureWidth = m_textureHeight = 0;
    }
    postRate();
}

void View::requestFrame() {
    m_browser.post(request(Code::FRAM));
}

void View::load(const std::string &address) {
    // An address too long for one request is refused rather than cut (a cut one is another page).
    if (const std::optional<KEL_Command> command = makeLoad(m_name, address))
        m_browser.post(*command);
}

void View::showHtml(const std::string &html) {
    KEL_Command command = request(Code::HTML);
    if (putText(command, 0, html))
        m_browser.post(command);
}

void View::resize(int32_t width, int32_t height) {
    KEL_Command command = request(Code::RSIZ);
    setInt(command, 0, width);
    setInt(command, 1, height);
    m_browser.post(command);
}

void View::back() {
    m_browser.post(request(Code::HBAK));
}

void View::forward() {
    m_browser.post(request(Code::HFWD));
}

void View::reload() {
    if (!m_address.empty())
        load(m_address);
}

uint32_t View::evaluate(const std::string &script) {
    KEL_Command command = request(Code::EVJS);
    if (!putText(command, 0, script))
        return 0;
    return m_browser.post(command);
}

void View::setFieldText(const std::string &text) {
    KEL_Command command = request(Code::IMES);
    if (putText(command, 0, text))
        m_browser.post(command);
}

void View::mouse(const char *code, int32_t x, int32_t y, int32_t button) {
    KEL_Command command = request(code);
    setInt(command, 0, x);
    setInt(command, 1, y);
    if (button >= 0)
        setInt(command, 2, button);
    m_browser.post(command);
}

void View::mouseMove(int32_t x, int32_t y) {
    mouse(Code::MPOS, x, y, -1);
}

void View::mousePress(int32_t x, int32_t y, Button button) {
    mouse(Code::MPRS, x, y, int32_t(button));
}

void View::mouseRelease(int32_t x, int32_t y, Button button) {
    mouse(Code::MREL, x, y, int32_t(button));
}

void View::scroll(int32_t amount) {
    KEL_Command command = request(Code::MSCL);
    setInt(command, 0, amount);
    m_browser.post(command);
}

void View::key(const char *code, int32_t qtKey, int32_t modifiers, const std::string &text) {
    KEL_Command command = request(code);
    setInt(command, 0, qtKey);
    setInt(command, 1, modifiers);
    setString(command, 1, text);
    m_browser.post(command);
}

void View::keyDown(int32_t qtKey, int32_t modifiers, const std::string &text) {
    key(Code::KEYD, qtKey, modifiers, text);
}

void View::keyUp(int32_t qtKey, int32_t modifiers, const std::string &text) {
    key(Code::KEYU, qtKey, modifiers, text);
}

// The browser's own size rules, so the texture always matches what it delivers. On the frame
// area the texture is the frame itself, sized by the frames that come.
void View::setSize(int32_t width, int32_t height) {
    if (m_path == FramePath::Area) {
        // Each side 16 .. 4096 / scale; a negative one counts as huge, as on the texture path.
        const int32_t scale = m_options.scalePercent == 150 || m_options.scalePercent == 200
                                  ? m_options.scalePercent
                                  : 100;
        const uint32_t largest = uint32_t(KEL_FRAME_MAX_SIDE) * 100 / uint32_t(scale);
        m_width = int32_t(std::clamp(uint32_t(width), kMinFrameAreaSide, largest));
        m_height = int32_t(std::clamp(uint32_t(height), kMinFrameAreaSide, largest));
        return;
    }
    m_width = clampViewSide(width);
    m_height = clampViewSide(height);
    const int32_t w = textureSideFor(width), h = textureSideFor(height);
    if (w == m_textureWidth && h == m_textureHeight)
        return;
    m_textureWidth = w;
    m_textureHeight = h;
    m_texture.assign(size_t(w) * size_t(h) * 4, 0);
    if (onTextureSize)
        onTextureSize(w, h);
}

bool View::handle(const KEL_Command &record) {
    if (!namesView(record, m_name16))
        return false;
    if (record.origin == 0 && record.result != 0)
        return handleReply(record);
    if (record.origin == 1 && record.result == 0)
        return handleNotice(record);
    return false;
}

bool View::handleReply(const KEL_Command &record) {
    if (hasCode(record, Code::CRVW)) {
        if (record.result == 1)
            adopt(record.intArgs[0], record.intArgs[1]);
    } else if (hasCode(record, Code::RSIZ)) {
        setSize(record.intArgs[0], record.intArgs[1]);
    } else if (hasCode(record, Code::RMVW)) {
        m_exists = false;
    } else if (hasCode(record, Code::RATE)) {
        if (record.result == 1) {
            m_rateConfirmed = true;
        } else if (!m_rateConfirmed && m_path == FramePath::Area) {
            // Refused (a painted side above 4096, a scale it does not know): the browser keeps
            // the view on the texture segment, and so does the view, or it would never show.
            m_path = FramePath::Texture;
            setSize(m_width, m_height);
        }
    } else if (hasCode(record, Code::FRAM)) {
        // Nothing to do: the frame is taken by takeFrame().
    } else if (hasCode(record, Code::EVJS)) {
        const std::string value = utf8(takeText(record, 0));
        if (onResult)
            onResult(record.sequence, value);
    } else {
        return false;
    }
    return true;
}

bool View::handleNotice(const KEL_Command &record) {
    if (hasCode(record, Code::UPVW)) {
        takeTextureFrame();
    } else if (hasCode(record, Code::TITC)) {
        m_title = getString8(record, 1);
        if (onTitle)
            onTitle(m_title);
    } else if (hasCode(record, Code::URLC)) {
        m_address = utf8(takeText(record, 0));
        if (onAddress)
            onAddress(m_address);
    } else if (hasCode(record, Code::ICNC)) {
        takePayload(record, 0); // frees its slot; this helper shows no icons
    } else if (hasCode(record, Code::PROG)) {
        if (onProgress)
            onProgress(record.intArgs[0]);
    } else if (hasCode(record, Code::LDFN)) {
        // The loaded page's frame is published before LDFN: the host sees it with onLoaded.
        takeFrame();
        if (onLoaded)
            onLoaded();
    } else if (hasCode(record, Code::IMEI)) {
        TextField field;
        field.type = getString8(record, 1);
        field.text = utf8(takeText(record, 0));
        field.left = record.intArgs[2];
        field.top = record.intArgs[3];
        field.width = record.intArgs[4];
        field.height = record.intArgs[5];
        if (onFieldFocus)
            onFieldFocus(field);
    } else if (hasCode(record, Code::IMEO)) {
        if (onFieldBlur)
            onFieldBlur();
    } else if (hasCode(record, Code::JLOG)) {
        const ConsoleMessage message = takeConsoleMessage(record);
        if (onConsoleMessage)
            onConsoleMessage(message);
    } else if (hasCode(record, Code::INVK)) {
        const Invocation call = takeInvocation(record);
        if (onInvocation)
            onInvocation(call);
    } else if (hasCode(record, Code::POPU)) {
        const std::string popup = takePopupName(record);
        if (onPopup)
            onPopup(popup);
    } else if (hasCode(record, Code::POPC)) {
        takePopupName(record);
        if (onCloseRequest)
            onCloseRequest();
    } else {
        return hasCode(record, Code::UPCZ);
    }
    return true;
}

void View::takeTextureFrame() {
    // A view on its frame area keeps no texture for the segment's frames: only released.
    if (m_path == FramePath::Area || m_texture.empty()) {
        m_taker.release();
        return;
    }
    m_taker.take(m_texture.data(), m_textureWidth, m_textureHeight, [this](const FramePiece &p) {
        if (onFrame)
            onFrame(p);
    });
}

// ---- The frame area ------------------------------------------------------------------------

int32_t View::paintedWidth() const {
    return m_path == FramePath::Area ? m_textureWidth : m_width;
}

int32_t View::paintedHeight() const {
    return m_path == FramePath::Area ? m_textureHeight : m_height;
}

// After the plugin's segments were ended (stop, recovery), a frame taken under them is
// unmapped, and the fresh browser numbers its frames from the start again.
void View::forgetFrame() {
    m_holding = false;
    m_haveFrame = false;
    m_frame = KEL_Frame();
}

const KEL_Frame *View::frame() const {
    return m_holding && m_heldEpoch == m_browser.segmentsEpoch() ? &m_frame : nullptr;
}

void View::releaseFrame() {
    if (m_holding && m_heldEpoch == m_browser.segmentsEpoch())
        KEL_ReleaseFrame(reinterpret_cast<const uint16_t *>(m_name16.c_str()));
    m_holding = false;
}

bool View::takeFrame() {
    // From inside onFrame (the host pumped there) a new take would replace the frame whose
    // pieces are being handed out.
    if (m_path != FramePath::Area || !m_exists || m_delivering)
        return false;
    if (m_heldEpoch != m_browser.segmentsEpoch()) {
        forgetFrame();
        m_heldEpoch = m_browser.segmentsEpoch();
    }
    KEL_Frame frame{};
    if (KEL_TakeFrame(reinterpret_cast<const uint16_t *>(m_name16.c_str()), &frame) != 1)
        return false; // nothing newer (the held frame stays held), or no area yet
    m_frame = frame;
    m_holding = true;
    // Until the pieces are out, whatever a callback does (onFrame or onTextureSize may pump).
    struct Delivering {
        bool &flag;
        explicit Delivering(bool &f) : flag(f) { flag = true; }
        ~Delivering() { flag = false; }
    } delivering(m_delivering);
    bool whole = !m_haveFrame || frame.rectCount < 0 || frame.width != m_textureWidth ||
                 frame.height != m_textureHeight;
    // The rectangles are the change since frame changesSince: enough when the host's texture
    // holds that frame or a later one (unsigned differences: numbers may wrap).
    if (!whole && m_frameNumber - frame.changesSince > frame.number - frame.changesSince)
        whole = true;
    if (frame.width != m_textureWidth || frame.height != m_textureHeight) {
        m_textureWidth = frame.width;
        m_textureHeight = frame.height;
        if (m_options.keepCopy)
            m_texture.assign(size_t(frame.width) * size_t(frame.height) * 4, 0);
        if (onTextureSize)
            onTextureSize(frame.width, frame.height);
    }
    m_frameNumber = frame.number;
    m_haveFrame = true;
    deliver(frame, whole);
    return true;
}

// Pieces point into the held frame. The plugin checked every rectangle against the frame;
// they are clipped here all the same, since a piece reaching past it would be read past it.
void View::deliver(const KEL_Frame &frame, bool whole) {
    const auto *base = static_cast<const uint8_t *>(frame.pixels);
    auto hand = [&](int32_t x, int32_t row, int32_t width, int32_t height, bool all) {
        if (!m_holding)
            return; // handed back from within onFrame: its pixels may be painted over now
        FramePiece piece;
        piece.whole = all;
        piece.x = x;
        piece.row = row;
        piece.width = width;
        piece.height = height;
        piece.textureWidth = frame.width;
        piece.textureHeight = frame.height;
        piece.pitch = frame.stride;
        piece.pixels = base + size_t(row) * size_t(frame.stride) + size_t(x) * 4;
        if (m_options.keepCopy && m_texture.size() == size_t(frame.width) * frame.height * 4) {
            for (int32_t i = 0; i < height; ++i)
                std::memcpy(&m_texture[(size_t(row + i) * size_t(frame.width) + size_t(x)) * 4],
                            piece.pixels + size_t(i) * size_t(frame.stride), size_t(width) * 4);
        }
        if (onFrame)
            onFrame(piece);
    };
    if (whole) {
        hand(0, 0, frame.width, frame.height, true);
        return;
    }
    const int32_t count = std::clamp(frame.rectCount, 0, int32_t(KEL_FRAME_MAX_RECTS));
    for (int32_t i = 0; i < count; ++i) {
        const KEL_FrameRect &r = frame.rects[i];
        const int64_t x0 = std::max<int64_t>(0, r.x), row0 = std::max<int64_t>(0, r.y);
        const int64_t x1 = std::min<int64_t>(frame.width, int64_t(r.x) + r.width);
        const int64_t row1 = std::min<int64_t>(frame.height, int64_t(r.y) + r.height);
        if (x0 < x1 && row0 < row1)
            hand(int32_t(x0), int32_t(row0), int32_t(x1 - x0), int32_t(row1 - row0), false);
    }
}

// ---- Records that name no view ------------------------------------------------------------

bool isFrameNotice(const KEL_Command &record) {
    return record.origin == 1 && hasCode(record, Code::UPVW);
}

void releaseFrame() {
    static FrameTaker taker;
    taker.release();
}

std::u16string viewOf(const KEL_Command &record) {
    return getString(record, viewArgument(record));
}

std::string takePopupName(const KEL_Command &record) {
    return utf8(takeText(record, 0));
}

ConsoleMessage takeConsoleMessage(const KEL_Command &record) {
    ConsoleMessage message;
    message.message = utf8(takeText(record, 0));
    message.line = record.intArgs[2];
    message.source = utf8(takeText(record, 3));
    message.view = getString8(record, 0);
    return message;
}

// By the code table: the argument pairs the record names (its intCount says how many), in
// order, holes included; i0 says how many arguments there are, which a hole does not shorten.
Invocation takeInvocation(const KEL_Command &record) {
    Invocation call;
    call.object = getString8(record, 0);
    call.method = getString8(record, 1);
    call.view = getString8(record, 2);
    const int32_t count = std::clamp(record.intArgs[0], 0, 7);
    for (int k = 0; k < count; ++k)
        call.arguments.push_back(utf8(takeText(record, 1 + 2 * k)));
    return call;
}

} // namespace Host
} // namespace KEL
