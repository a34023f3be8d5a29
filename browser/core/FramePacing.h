#pragma once
// Paints the views on their frame areas, each at its own rate, and hands each frame to the
// view's FrameAreaWriter. One precise timer serves all of them: it fires when the next view is
// due, and a view is painted only when something on it changed (an idle view costs a check).
// The 33 ms tick is not involved, except for the load-finished notices of views that paint
// only when asked (rate 0). GUI thread only.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>

namespace KEL {

class FrameAreaWriter;
class WebView;

class FramePacing : public QObject {
  public:
    FramePacing();
    ~FramePacing() override;

    // RATE: puts the view on its frame area (made on first use) and sets its rate (0..60, 0:
    // only on FRAM) and scale (100, 150 or 200 percent). False, changing nothing, for values
    // out of range, a painted side above the largest frame, or an area that cannot be made.
    bool setRate(WebView &view, int32_t rate, int32_t scalePercent);
    // FRAM: paints the whole view and publishes it now. False when it has no frame area.
    bool paintNow(WebView &view);
    // The view is about to be destroyed: its area goes (names removed) with it.
    void forget(const QString &name);
    void clear();
    // From the view tick: the LDFN of loads on views that paint only when asked.
    void tick();

  private:
    struct Entry;
    void serve();
    void schedule();
    void publish(Entry &entry);

    std::map<QString, std::unique_ptr<Entry>> m_entries;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

} // namespace KEL
