#pragma once
// One view of the host: a web view item alone in its own off-screen graphics scene, with its
// own page. Nothing is ever shown on screen. The view registry creates, finds and deletes
// views by name; every per-view command goes through here. The view owns the scene, its size
// and the wiring; what it paints and delivers lives in its ViewSurface, what it tells the host
// in its ViewNotices, input in its ViewInput, the caret in BlinkingCaret and the text-field
// support in TextFieldWatcher. GUI thread only.

#include <QGraphicsWebView>
#include <QPalette>
#include <QRect>
#include <QSize>
#include <QString>
#include <QUrl>

#include "core/EngineView.h"
#include "view/BlinkingCaret.h"
#include "view/ViewInput.h"
#include "view/ViewNotices.h"
#include "view/ViewSurface.h"

#include <cstdint>
#include <functional>
#include <memory>

class QGraphicsScene;
class QWebFrame;
class QGraphicsView;

namespace KEL {

class NoticeSink;
class TextureBuffer;
class ViewHost;
class WebPage;

class WebView : public QGraphicsWebView, public EngineView {
    Q_OBJECT
  public:
    // Installs the host's bridge objects into a main frame whose window object was just
    // cleared, before the view's own objects go in.
    using WindowObjectHook = std::function<void(QWebFrame *, bool trusted)>;
    // Unsized: the registry sizes it right away with setViewSize; until then it has no images
    // and must not be painted.
    // `host` (which outlives the view) opens popups for the page; without one it opens none.
    // `windowObjectHook` comes from the engine that makes the view; without one the page gets
    // no bridge objects.
    WebView(const QString &name, bool partialUpdates, NoticeSink &notices, ViewHost *host = nullptr,
            WindowObjectHook windowObjectHook = {});
    ~WebView() override;

    const QString &name() const override { return m_name; }
    int32_t popupIndex() const override;
    // IMES: sets the focused text field's value to exactly `text`.
    void setTextFieldValue(const QString &text) override;
    WebPage *webPage() const { return m_page; }

    // Clamps each side to 128..1024 and, when the size changed, resizes scene, view, item and
    // page, zeroes the frames and empties the update slots. True when the power-of-two texture
    // size changed (the host must recreate its texture: RSIZ answers 2).
    bool setViewSize(uint32_t width, uint32_t height) override;
    // On the frame area, each side is clamped to 16..(4096 / scale) instead, and the answer is
    // always false (there is no texture).
    // RATE: the view leaves the texture path for good and is painted at `scale` (1, 1.5, 2)
    // for its frame area, at the size the host asked for last (CRVW / RSIZ), clamped for the
    // frame area. Whether that size times the scale fits kMaxFrameSide is the caller's check.
    void useFrameArea(qreal scale);
    bool onFrameArea() const override { return m_surface.onFrameArea(); }
    // Frame-area painting: the painted image and what was painted since the last take.
    ViewSurface &surface() { return m_surface; }
    // Whether renderFrame() would paint: something changed, a paint was asked for, or a text
    // field has the focus (its caret blinks).
    bool wantsPaint() const;
    uint32_t requestedWidth() const { return m_requestedWidth; }
    uint32_t requestedHeight() const { return m_requestedHeight; }

    // Paints the page (from 50 % load progress on), converts it to the texture layout and
    // records what changed since the last detected frame. UPCZ when the contents size changed.
    void renderFrame() override;
    // The next renderFrame() paints even if the scene reported no change: for a command whose
    // effect must show in this tick's frame, before the engine's own repaint notice arrives.
    void requestPaint() override { m_surface.requestPaint(); }
    // Writes the waiting frame, whole or as rectangles, into the texture segment. The caller
    // holds the command segment's lock, so that the UPVW it posts next cannot be seen before
    // the frame. False when the texture lock could not be taken (the frame stays waiting).
    bool copyToTextureBuffer(TextureBuffer &buffer, bool debugPartialUpdates) override {
        return m_surface.copyTo(buffer, debugPartialUpdates);
    }
    // The frame just copied was withdrawn before the host heard of it: the next delivery of
    // this view goes whole.
    void withdrawDelivery() override { m_surface.frames().withdrawDelivery(); }

    uint32_t viewWidth() const { return m_width; }
    uint32_t viewHeight() const { return m_height; }
    uint32_t textureWidth() const { return m_textureWidth; }
    uint32_t textureHeight() const { return m_textureHeight; }

    // SMSK: on lets the host see through wherever the page draws nothing; off restores the
    // palette the page had at construction.
    void setTransparentBackground(bool on) override;
    // SACT: an inactive view is not painted and delivers no frames; loading, input and notices
    // go on.
    void setActive(bool active) override {
        m_active = active;
        requestPaint();
    }
    bool isActive() const override { return m_active; }
    // SSMR / CRVW: partial (rectangle) deliveries allowed.
    void setPartialUpdates(bool on) override { m_surface.frames().setPartialUpdates(on); }
    bool partialUpdates() const { return m_surface.frames().partialUpdates(); }

    // A frame-area view never waits for the texture segment.
    bool isDirty() const override { return !onFrameArea() && m_surface.frames().dirty(); }
    const FrameTracker &frames() const { return m_surface.frames(); }
    bool isLoadFinishedPending() const override { return m_notices.isLoadFinishedPending(); }
    // LDFN, once the frames painted up to the end of the load have been delivered.
    void postLoadFinished() override { m_notices.postLoadFinished(); }
    int32_t progress() const { return m_progress; }

    // Resets progress first, so a page that is being replaced is not painted half-loaded.
    void loadUrl(const QUrl &url) override;
    // HTML: the host's own document, trusted with the host's script objects like a page the
    // host loaded.
    void showHostHtml(const QString &html) override;
    // Tab key release: keyboard focus to the next focusable element of the page.
    void focusNextElement() override;
    void goBack() override;
    void goForward() override;
    void evaluate(const QString &script, std::function<void(const QString &)> done) override;
    void scrollTo(int32_t x, int32_t y) override;
    void scrollBy(int32_t amount) override;
    void refreshBridgeObject(const QString &object) override;

    // Host input (MPOS, MPRS, MREL, KEYD, KEYU) for this view.
    ViewInput &input() { return *m_input; }
    void mouseMove(int32_t x, int32_t y, bool leftButtonHeld) override {
        m_input->mouseMove(x, y, leftButtonHeld);
    }
    void mousePress(int32_t x, int32_t y, Qt::MouseButton button) override {
        m_input->mousePress(x, y, button);
    }
    void mouseRelease(int32_t x, int32_t y, Qt::MouseButton button) override {
        m_input->mouseRelease(x, y, button);
    }
    void sendKey(bool press, int key, Qt::KeyboardModifiers modifiers,
                 const QString &text) override {
        m_input->sendKey(press ? QEvent::KeyPress : QEvent::KeyRelease, key, modifiers, text);
    }

  private slots:
    void loadStarted();
    void loadFinished(bool ok);
    void setProgress(int progress);
    void urlChanged(const QUrl &url);
    void titleChanged(const QString &title);
    // Sends the page icon (ICNC) when it differs from the last one sent.
    void updateIcon();
    void javaScriptWindowObjectCleared();

  private:
    QString m_name;
    WindowObjectHook m_windowObjectHook;
    ViewNotices m_notices;
    std::unique_ptr<QObject> m_textFieldCallbacks;
    ViewSurface m_surface;
    BlinkingCaret m_caret;
    bool m_active = true;
    WebPage *m_page = nullptr;
    QPalette m_savedPalette;
    QGraphicsView *m_graphicsView = nullptr;
    QGraphicsScene *m_scene = nullptr;
    std::unique_ptr<ViewInput> m_input; // made once the graphics view exists
    uint32_t m_width = UINT32_MAX;
    uint32_t m_height = UINT32_MAX;
    uint32_t m_textureWidth = UINT32_MAX;
    uint32_t m_textureHeight = UINT32_MAX;
    uint32_t m_requestedWidth = 0; // as the host asked, before clamping
    uint32_t m_requestedHeight = 0;
    int32_t m_progress = 100; // a view that has loaded nothing is painted
    QSize m_contentsSize{-1, -1};
    QRect m_lastCaret; // frame-area painting: where the caret was last drawn
};

} // namespace KEL
