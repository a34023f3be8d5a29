#pragma once
// The process's views by name. Names compare exactly, code unit by code unit, and every walk
// over all views goes in that order (QString's operator<). The registry owns the views: a view
// is destroyed only through removeView or removeAllViews. GUI thread only.

#include "view/ViewHost.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace KEL {

class FramePacing;
class NoticeSink;
class TextureBuffer;
struct TextureHeader;
class WebView;

// At most this many popup views are alive at once: script that opens windows in a loop cannot
// exhaust the process.
constexpr int kMaxPopupViews = 32;

class ViewRegistry : public ViewHost {
  public:
    // Views post their notices through `notices`, which outlives the registry.
    explicit ViewRegistry(NoticeSink &notices);
    ~ViewRegistry() override;
    ViewRegistry(const ViewRegistry &) = delete;
    ViewRegistry &operator=(const ViewRegistry &) = delete;

    // Creates and sizes a view (logged). Null, with a log line, when the name is taken.
    WebView *createView(const QString &name, int32_t width, int32_t height, bool partialUpdates);
    WebView *findView(const QString &name) const;
    // ViewHost: ALWP's switch, and popup views named "PopupView<index>" from the process's
    // popup counter. A name a host view already holds is passed over (the counter moves on),
    // so the host's view is never touched; refused while kMaxPopupViews popups are alive.
    bool allowPopups() const override;
    WebView *createPopupView(int32_t *index) override;
    // Destroys the view, then withdraws a frame of it that the host has not taken yet.
    void removeView(WebView *view);
    // Shutdown: destroys every view in name order. Leaves the texture segment alone.
    void removeAllViews();

    // Once per tick, after the command loop: paints every active view, hands at most one
    // view's frame to the host (UPVW), then sends the LDFN of loads whose frames are delivered.
    void viewTick();
    // Called after a view's load has finished (its LDFN is then pending), from the signal.
    void setLoadFinishedHook(std::function<void()> hook) { m_loadFinishedHook = std::move(hook); }

    const std::map<QString, std::unique_ptr<WebView>> &views() const { return m_views; }
    // The views on their frame areas (RATE, FRAM); the view tick leaves them to it.
    FramePacing &framePacing() { return *m_pacing; }
    // Names of the views that had a frame delivery in the current cycle of deliveries.
    QStringList &servedList() { return m_served; }

  private:
    void resetTextureAfterRemoval();
    int livePopups() const;
    WebView *chooseViewToDeliver();
    void deliverOneFrame();
    void withdrawFrame(TextureBuffer &texture, WebView &view);
    bool texturePending();
    void reofferUntakenFrame(TextureHeader &header);

    NoticeSink &m_notices;
    std::map<QString, std::unique_ptr<WebView>> m_views;
    std::unique_ptr<FramePacing> m_pacing; // declared after the views: gone before them
    QStringList m_served;
    QString m_lastDelivered; // the view whose frame went into the texture segment last
    std::function<void()> m_loadFinishedHook;
    bool m_closing = false;          // removeAllViews runs: no new popups
    bool m_popupLimitLogged = false; // one line for each time the popup limit is reached
};

} // namespace KEL
