#include "view/FramePacing.h"

#include "FrameArea.h"
#include "FrameAreaWriter.h"
#include "Log.h"
#include "view/WebView.h"

#include <QGraphicsScene>
#include <QImage>

#include <algorithm>

namespace KEL {

struct FramePacing::Entry {
    WebView *view = nullptr;
    std::unique_ptr<FrameAreaWriter> writer;
    int32_t rate = 0;
    qint64 nextDue = 0;     // m_clock nanoseconds
    qint64 lastServed = -1; // when it was last painted at its rate
    QMetaObject::Connection woken;
    ~Entry() { QObject::disconnect(woken); }
    qint64 period() const { return rate > 0 ? 1000000000LL / rate : 0; }
};

FramePacing::FramePacing() {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { serve(); });
    m_clock.start();
}

FramePacing::~FramePacing() = default;

bool FramePacing::setRate(WebView &view, int32_t rate, int32_t scalePercent) {
    if (rate < 0 || rate > kMaxFrameRate || !validFrameScale(scalePercent))
        return false;
    const qreal scale = scalePercent / 100.0;
    // The size the host asked for must fit painted; a smaller one is the host's to choose.
    if (int64_t(view.requestedWidth()) * scalePercent > int64_t(kMaxFrameSide) * 100 ||
        int64_t(view.requestedHeight()) * scalePercent > int64_t(kMaxFrameSide) * 100)
        return false;
    auto it = m_entries.find(view.name());
    if (it == m_entries.end()) {
        const std::u16string name = view.name().toStdU16String();
        auto entry = std::make_unique<Entry>();
        entry->view = &view;
        entry->writer = std::make_unique<FrameAreaWriter>(
            frameControlName(reinterpret_cast<const uint16_t *>(name.data()), name.size()));
        if (!entry->writer->ready())
            return false;
        // A change on the page arms the timer again (it is idle while nothing changes).
        entry->woken =
            QObject::connect(view.scene(), &QGraphicsScene::changed, this, [this] { schedule(); });
        it = m_entries.emplace(view.name(), std::move(entry)).first;
    }
    Entry &entry = *it->second;
    if (!view.onFrameArea() || view.surface().scale() != scale)
        view.useFrameArea(scale);
    entry.rate = rate;
    entry.nextDue = m_clock.nsecsElapsed();
    view.requestPaint();
    schedule();
    return true;
}

bool FramePacing::paintNow(WebView &view) {
    const auto it = m_entries.find(view.name());
    if (it == m_entries.end())
        return false;
    view.requestPaint();
    publish(*it->second);
    return true;
}

void FramePacing::forget(const QString &name) {
    m_entries.erase(name);
    schedule();
}

void FramePacing::clear() {
    m_entries.clear();
    m_timer.stop();
}

void FramePacing::tick() {
    const qint64 now = m_clock.nsecsElapsed();
    for (auto &item : m_entries) {
        Entry &entry = *item.second;
        WebView &view = *entry.view;
        // Its last frame is out, or none will come: at rate 0 the host asks for frames itself,
        // an inactive view paints nothing, and a load may change nothing that is shown.
        if (view.isLoadFinishedPending() &&
            (entry.rate == 0 || !view.isActive() || !view.wantsPaint()))
            view.postLoadFinished();
        if (entry.rate > 0 && view.surface().paintPending() &&
            (entry.lastServed < 0 || now - entry.lastServed >= entry.period()))
            serveNow(entry, now);
    }
    schedule(); // safety repaints fall due without any change
}

void FramePacing::serveNow(Entry &entry, qint64 now) {
    entry.lastServed = now;
    entry.nextDue = now + entry.period();
    publish(entry);
}

// Paints the view if something changed (or a paint was asked for), publishes what was painted,
// and then sends the LDFN of a finished load: its last frame is out.
void FramePacing::publish(Entry &entry) {
    WebView &view = *entry.view;
    if (!view.isActive())
        return;
    view.renderFrame();
    QRect painted;
    bool whole = false;
    if (view.surface().takePainted(&painted, &whole)) {
        const QImage &image = view.surface().pageImage();
        const PagePixels page{image.constBits(), image.bytesPerLine(), image.width(),
                              image.height()};
        const PageRect changed{painted.x(), painted.y(), painted.width(), painted.height()};
        entry.writer->write(page, {changed}, whole);
    }
    if (view.isLoadFinishedPending())
        view.postLoadFinished();
}

void FramePacing::serve() {
    const qint64 now = m_clock.nsecsElapsed();
    // Within a millisecond counts as due: the timer's own granularity.
    constexpr qint64 kSlack = 1000000;
    for (auto &item : m_entries) {
        Entry &entry = *item.second;
        if (entry.rate <= 0 || entry.nextDue > now + kSlack)
            continue;
        if (!entry.view->wantsPaint())
            continue; // idle: still due, painted as soon as a change wakes the timer
        entry.lastServed = now;
        entry.nextDue += entry.period();
        // A view that fell behind (a slow paint, a busy tick), or that was idle, starts afresh
        // rather than painting several frames at once to catch up.
        if (entry.nextDue <= now)
            entry.nextDue = now + entry.period();
        publish(entry);
    }
    schedule();
}

void FramePacing::schedule() {
    qint64 earliest = -1;
    for (const auto &item : m_entries) {
        const Entry &entry = *item.second;
        if (entry.rate > 0 && entry.view->isActive() && entry.view->wantsPaint() &&
            (earliest < 0 || entry.nextDue < earliest))
            earliest = entry.nextDue;
    }
    if (earliest < 0) {
        m_timer.stop();
        return;
    }
    const qint64 wait = std::max<qint64>(0, earliest - m_clock.nsecsElapsed());
    m_timer.start(int((wait + 999999) / 1000000));
}

} // namespace KEL
