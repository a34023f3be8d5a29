#pragma once
// Paints the views on their frame areas, each at its own rate, and hands each frame to the
// view's FrameAreaWriter. One precise timer serves all of them: it fires when the next view
// that has something to paint is due, and it is not armed at all while none has (a change on a
// page wakes it through its scene), so idle views cost nothing. After the 33 ms tick's
// requests, a view they changed is painted at once when its rate allows, rather than at its
// next due time: input shows a frame sooner. The tick also sends the load-finished notices of
// views that paint only when asked (rate 0). GUI thread only.

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
    // From the view tick, after the requests: paints views the requests changed if their rate
    // allows, and sends the LDFN of loads on views that paint only when asked.
    void tick();

  private:
    struct Entry;
    void serve();
    void schedule();
    void serveNow(Entry &entry, qint64 now);
    void publish(Entry &entry);

    std::map<QString, std::unique_ptr<Entry>> m_entries;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

} // namespace KEL
