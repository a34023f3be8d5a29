#pragma once
// One view on the WPE engine: a web view on an exportable view backend whose frames arrive as
// shared-memory buffers. A buffer is held until the next tick takes it into the view's frames,
// and only then is the engine told the frame is done: the engine paints at most once a tick,
// and an idle page paints nothing. GUI thread only.

#include "core/EngineView.h"
#include "view/ViewNotices.h"

#include "FrameAreaWriter.h"
#include "FrameTracker.h"

#include <QElapsedTimer>
#include <QImage>
#include <QSize>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitUserContentManager WebKitUserContentManager;
typedef struct _GCancellable GCancellable;
typedef struct _WebKitAuthenticationRequest WebKitAuthenticationRequest;
struct wpe_view_backend_exportable_fdo;
struct wpe_fdo_shm_exported_buffer;

namespace KEL {

class NoticeSink;
class ViewHost;
class WpeEngine;
class WpeIconFetch;

class WpeView : public EngineView {
  public:
    // sharesProcessWith: a view whose page process this one's pages start in (a popup's
    // opener, or any view when views share one); null for a process of its own.
    WpeView(WpeEngine &engine, const QString &name, bool partialUpdates, NoticeSink &notices,
            ViewHost *host, WpeView *sharesProcessWith, int32_t popupIndex);
    ~WpeView() override;

    const QString &name() const override { return m_name; }
    int32_t popupIndex() const override { return m_popupIndex; }
    bool setViewSize(uint32_t width, uint32_t height) override;
    void renderFrame() override;
    void requestPaint() override {}
    bool copyToTextureBuffer(TextureBuffer &buffer, bool debugPartialUpdates) override;
    void withdrawDelivery() override { m_frames.withdrawDelivery(); }
    bool isDirty() const override { return m_frames.dirty(); }
    void setTransparentBackground(bool on) override;
    void setActive(bool active) override { m_active = active; }
    bool isActive() const override { return m_active; }
    void setPartialUpdates(bool on) override { m_frames.setPartialUpdates(on); }
    // A finished load's LDFN waits until the engine has handed over a picture of the finished
    // page (see loadChanged).
    bool isLoadFinishedPending() const override;
    void postLoadFinished() override { m_notices.postLoadFinished(); }
    void loadUrl(const QUrl &url) override;
    void showHostHtml(const QString &html) override;
    void goBack() override;
    void goForward() override;
    void evaluate(const QString &script, std::function<void(const QString &)> done) override;
    void scrollTo(int32_t x, int32_t y) override;
    void scrollBy(int32_t amount) override;
    void setTextFieldValue(const QString &text) override;
    void focusNextElement() override;
    void refreshBridgeObject(const QString &object) override;
    void mouseMove(int32_t x, int32_t y, bool leftButtonHeld) override;
    void mousePress(int32_t x, int32_t y, Qt::MouseButton button) override;
    void mouseRelease(int32_t x, int32_t y, Qt::MouseButton button) override;
    void sendKey(bool press, int key, Qt::KeyboardModifiers modifiers,
                 const QString &text) override;

    WebKitWebView *webView() const { return m_view; }
    bool onFrameArea() const override { return m_area != nullptr; }
    // RATE, FRAM and the tick's part for a view on its frame area (see Engine.h).
    bool setFrameRate(int32_t rate, int32_t scalePercent);
    bool paintFrameNow();
    void frameTick();
    struct ExportTarget;
    // The host's objects changed (ADDO, LOAD): documents from now on get the new set.
    void installScripts();
    bool createPopupAllowed() const;
    void authenticate(WebKitAuthenticationRequest *request);

    // Engine signal handlers (static trampolines in the .cpp call these).
    void takeBuffer(wpe_fdo_shm_exported_buffer *buffer);
    void loadChanged(int event);
    void progressChanged();
    void titleChanged();
    void addressChanged();
    void addressLoadPhase(int event);
    void loadingChanged();
    // Shows the browser's error page for a load of `address` the network could not serve.
    void showErrorPage(const QString &address, const QString &message, int code);
    // Runs `load`, a call that starts a load of the main frame (the engine names its address at
    // once, before the load has begun).
    void startLoad(const std::function<void()> &load);
    WebKitWebView *createPopup();
    void closeRequested();
    void viewMessage(const QVariantMap &message);
    void pageMessage(const QVariantMap &message, bool bridge);
    // A console line of the page (JLOG), within the pages' console rate.
    void consoleMessage(const QString &text, int32_t line, const QString &source);
    // The console rate's verdict on the next line, then the line itself once admitted.
    bool admitConsole();
    void consoleLine(const QString &text, int32_t line, const QString &source);
    void webProcessEnded(const char *why);
    uint64_t created() const { return m_created; }
    void probePage();
    void probeAnswered();
    bool trustedNow() const;
    void logWithheldObjects() const;

  private:
    void releaseBuffer();
    // Frame area: the engine's picture goes out when the view's rate allows, else it waits
    // (and with it the engine's next paint) until it does.
    void serveFrameArea();
    void publish(const PagePixels &page);
    void runInViewWorld(const QString &script);
    void askWhenPainted();
    // URLC with the engine's address; unless `always`, only when it differs from the last.
    void postAddress(bool always);
    void pointerEvent(int type, int32_t x, int32_t y, uint32_t button, uint32_t state);

    WpeEngine &m_engine;
    QString m_name;
    ViewNotices m_notices;
    ViewHost *m_host;
    int32_t m_popupIndex;
    uint64_t m_created = 0; // the engine's count of views when this one was made
    FrameTracker m_frames;
    ExportTarget *m_target = nullptr;
    wpe_view_backend_exportable_fdo *m_exportable = nullptr;
    WebKitWebView *m_view = nullptr;
    WebKitUserContentManager *m_content = nullptr;
    GCancellable *m_cancellable = nullptr;
    wpe_fdo_shm_exported_buffer *m_buffer = nullptr; // waiting for the next tick
    // A picture that arrived before the page was half loaded: shown once it is, unless a
    // newer one comes first.
    QImage m_early;
    bool m_active = true;
    bool m_transparent = false;
    bool m_painted = false;        // the engine has handed over a picture
    bool m_pageShown = false;      // a load has committed: the page reports its own size
    bool m_hostDocument = false;   // the main frame shows HTML or a no-origin address of the host
    bool m_hostNavigation = false; // the next load start is the host's own
    int32_t m_progress = 100;
    std::unique_ptr<FrameAreaWriter> m_area;
    int32_t m_rate = 0;
    qreal m_scale = 1.0;
    QImage m_lastPicture;       // the newest picture the engine handed over, for FRAM
    bool m_unpublished = false; // m_lastPicture has not gone out yet
    QElapsedTimer m_sinceFrame; // since the last frame went out
    QTimer m_due;
    QElapsedTimer m_loadEnded;
    QElapsedTimer m_sinceTracked; // since the last picture went into the view's frames
    uint32_t m_loadCount = 0;     // names the load a "painted" answer belongs to
    bool m_pagePainted = true;    // the finished load's picture has come (or was given up on)
    bool m_provisional = false;   // a load has started and its document is not there yet
    bool m_startingLoad = false;  // within startLoad
    QString m_address;            // the last address sent
    QTimer m_addressDue;          // an address change during a load, checked once it is placed
    std::unique_ptr<WpeIconFetch> m_icons;
    QString m_startedAddress;  // where the last load of the main frame started
    QTimer m_probe;            // asks the page whether its script still answers
    QElapsedTimer m_probeSent; // since the unanswered question went out
    uint32_t m_requestedWidth = 0;
    uint32_t m_requestedHeight = 0;
    uint32_t m_width = UINT32_MAX;
    uint32_t m_height = UINT32_MAX;
    uint32_t m_textureWidth = UINT32_MAX;
    uint32_t m_textureHeight = UINT32_MAX;
    QSize m_contentsSize{-1, -1};
    QSize m_reportedSize{-1, -1};
    uint32_t m_buttons = 0; // pointer buttons held, as the engine's modifier bits
};

} // namespace KEL
