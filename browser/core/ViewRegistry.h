#pragma once
// The process's views by name. Names compare exactly, code unit by code unit, and every walk
// over all views goes in that order (QString's operator<). The registry owns the views: a view
// is destroyed only through removeView or removeAllViews. GUI thread only.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>

namespace KEL {

class TextureBuffer;
class WebView;

class ViewRegistry {
  public:
    ViewRegistry();
    ~ViewRegistry();
    ViewRegistry(const ViewRegistry &) = delete;
    ViewRegistry &operator=(const ViewRegistry &) = delete;

    // Creates and sizes a view (logged). Null, with a log line, when the name is taken.
    WebView *createView(const QString &name, int32_t width, int32_t height, bool partialUpdates);
    WebView *findView(const QString &name) const;
    // Destroys the view, then withdraws a frame of it that the host has not taken yet.
    void removeView(WebView *view);
    // Shutdown: destroys every view in name order. Leaves the texture segment alone.
    void removeAllViews();

    // Once per tick, after the command loop: paints every active view, hands at most one
    // view's frame to the host (UPVW), then sends the LDFN of loads whose frames are delivered.
    void viewTick();

    const std::map<QString, std::unique_ptr<WebView>> &views() const { return m_views; }
    // Names of the views that had a frame delivery in the current cycle of deliveries.
    QStringList &servedList() { return m_served; }

  private:
    void resetTextureAfterRemoval();
    WebView *chooseViewToDeliver();
    void deliverOneFrame();
    void withdrawFrame(TextureBuffer &texture, WebView &view);
    bool texturePending() const;

    std::map<QString, std::unique_ptr<WebView>> m_views;
    QStringList m_served;
};

} // namespace KEL
