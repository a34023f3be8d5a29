#pragma once
// One view of the host as the core sees it, whatever engine draws it: the command handlers,
// the registry and the view tick talk to views only through this interface. An engine's view
// paints its page into a FrameTracker and writes the waiting frame into the texture segment
// when the tick serves it. GUI thread only.

#include <QString>
#include <Qt>

#include <cstdint>
#include <functional>

class QUrl;

namespace KEL {

class TextureBuffer;

class EngineView {
  public:
    virtual ~EngineView() = default;

    virtual const QString &name() const = 0;
    // -1 for a view the host created; the number in the generated name for a popup's view.
    virtual int32_t popupIndex() const = 0;

    // Clamps each side to the sizes views allow and, when the size changed, resizes the page
    // and zeroes the frames. True when the power-of-two texture size changed (RSIZ answers 2).
    virtual bool setViewSize(uint32_t width, uint32_t height) = 0;
    // Brings the view's newest picture into its frames, recording what changed.
    virtual void renderFrame() = 0;
    // The next renderFrame() takes a picture even if the engine reported no change.
    virtual void requestPaint() = 0;
    // Writes the waiting frame into the texture segment; the caller holds the command
    // segment's lock. False when the texture lock could not be taken.
    virtual bool copyToTextureBuffer(TextureBuffer &buffer, bool debugPartialUpdates) = 0;
    // The frame just copied never reached the host: the next delivery goes whole.
    virtual void withdrawDelivery() = 0;
    virtual bool isDirty() const = 0;
    // On its own frame area (RATE): the view tick's texture deliveries leave it alone.
    virtual bool onFrameArea() const { return false; }

    // SMSK, SACT, SSMR.
    virtual void setTransparentBackground(bool on) = 0;
    virtual void setActive(bool active) = 0;
    virtual bool isActive() const = 0;
    virtual void setPartialUpdates(bool on) = 0;

    virtual bool isLoadFinishedPending() const = 0;
    // LDFN, once the frames painted up to the end of the load have been delivered.
    virtual void postLoadFinished() = 0;
    // Called by the view when a tick should come soon: right after a load ended (its LDFN is
    // then pending), or when an engine that paints on its own hands over a picture of an idle
    // view (the picture of a press, say, then goes out without waiting for the next tick).
    std::function<void()> earlyTickHook;

    virtual void loadUrl(const QUrl &url) = 0;
    // HTML: the host's own document, trusted with the host's script objects.
    virtual void showHostHtml(const QString &html) = 0;
    virtual void goBack() = 0;
    virtual void goForward() = 0;
    // EVJS: runs `script` in the page and calls `done` once with the value as text (empty for
    // anything but strings, numbers and booleans); now or, for engines whose pages run in
    // another process, later.
    virtual void evaluate(const QString &script, std::function<void(const QString &)> done) = 0;
    // SCRL: the main frame's scroll position.
    virtual void scrollTo(int32_t x, int32_t y) = 0;
    // MSCL: a positive amount scrolls the focused frame towards the top.
    virtual void scrollBy(int32_t amount) = 0;
    // IMES: sets the focused text field's value to exactly `text` (never run as script).
    virtual void setTextFieldValue(const QString &text) = 0;
    // Tab key release: keyboard focus to the next focusable element of the page.
    virtual void focusNextElement() = 0;
    // SETP changed a property of bridge object `object`: pages holding it see the new value.
    virtual void refreshBridgeObject(const QString &object) = 0;

    // Host input; positions are view pixels from the top-left corner. A move reports the left
    // button while `leftButtonHeld` (kept by the caller for all views together).
    virtual void mouseMove(int32_t x, int32_t y, bool leftButtonHeld) = 0;
    virtual void mousePress(int32_t x, int32_t y, Qt::MouseButton button) = 0;
    virtual void mouseRelease(int32_t x, int32_t y, Qt::MouseButton button) = 0;
    // A key press or release with the host's Qt key code, never auto-repeated.
    virtual void sendKey(bool press, int key, Qt::KeyboardModifiers modifiers,
                         const QString &text) = 0;
};

} // namespace KEL
