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

class BrowserContext;
class NoticeSink;
class TextureBuffer;
struct TextureHeader;
class Engine;
class EngineView;

// At most this many popup views are alive at once: script that opens windows in a loop cannot
// exhaust the process.
constexpr int kMaxPopupViews = 32;

class ViewRegistry : public ViewHost {
  public:
    // Views are made by the context's engine and post their notices through its sink; frames
    // go out through its segments. The context (and its engine) outlive the registry.
    explicit ViewRegistry(BrowserContext &context);
    ~ViewRegistry() override;
    ViewRegistry(const ViewRegistry &) = delete;
    ViewRegistry &operator=(const ViewRegistry &) = delete;

    // Creates and sizes a view (logged). Null, with a log line, when the name is taken.
    EngineView *createView(const QString &name, int32_t width, int32_t height, bool partialUpdates,
                           EngineView *opener = nullptr, int32_t popupIndex = -1);
    EngineView *findView(const QString &name) const;
    // ViewHost: ALWP's switch, and popup views named "PopupView<index>" from the context's
    // popup counter. A name a host view already holds is passed over (the counter moves on),
    // so the host's view is never touched; refused while kMaxPopupViews popups are alive.
    bool allowPopups() const override;
    EngineView *createPopupView(int32_t *index, EngineView *opener) override;
    // Destroys the view, then withdraws a frame of it that the host has not taken yet.
    void removeView(EngineView *view);
    // Shutdown: destroys every view in name order. Leaves the texture segment alone.
    void removeAllViews();

    // Once per tick, after the command loop: paints every active view, hands at most one
    // view's frame to the host (UPVW), then sends the LDFN of loads whose frames are delivered.
    void viewTick();
    // Called when a view asks for a tick soon (see EngineView::earlyTickHook).
    void setEarlyTickHook(std::function<void()> hook) { m_earlyTickHook = std::move(hook); }

    const std::map<QString, std::unique_ptr<EngineView>> &views() const { return m_views; }
    // Names of the views that had a frame delivery in the current cycle of deliveries.
    QStringList &servedList() { return m_served; }

  private:
    void resetTextureAfterRemoval();
    int livePopups() const;
    EngineView *chooseViewToDeliver();
    void deliverOneFrame();
    void withdrawFrame(TextureBuffer &texture, EngineView &view);
    bool texturePending();
    void reofferUntakenFrame(TextureHeader &header);

    BrowserContext &m_context;
    Engine &m_engine;
    NoticeSink &m_notices;
    std::map<QString, std::unique_ptr<EngineView>> m_views;
    QStringList m_served;
    QString m_lastDelivered; // the view whose frame went into the texture segment last
    std::function<void()> m_earlyTickHook;
    bool m_closing = false;          // removeAllViews runs: no new popups
    bool m_popupLimitLogged = false; // one line for each time the popup limit is reached
};

} // namespace KEL
