#pragma once
// The application object of the browser process and its life: start-up, the 33 ms tick, the
// watch on the host process, shutdown.

#include "core/Watchdog.h"

#include <QApplication>
#include <QTimer>

#include <chrono>

namespace KEL {

class BrowserContext;

class KELApplication : public QApplication {
    Q_OBJECT
  public:
    // Runs on `context`, which outlives it.
    KELApplication(int &argc, char **argv, BrowserContext &context);
    ~KELApplication() override;

    // Paths, names, web settings, style, transport, timer. False when the shared segments
    // could not be opened: the process then ends at once (with a log line) instead of idling
    // until its ping deadline, since no host can ever talk to it.
    bool startUp();
    // Releases views, segments and registries, in that order; after the event loop returned.
    void shutDown();
    // One pass: host watch, command loop, view tick.
    void tick();
    // A tick soon, outside the 33 ms rhythm: a load has just finished, so its last frame and
    // LDFN go out now instead of up to a tick later, or an idle view's engine has painted. At most
    // one such tick waits, and it runs no sooner than kEarlyTickGap after the previous tick, so a
    // burst of loads cannot make the process spin; nothing asks for one while views are idle.
    void requestEarlyTick();

  public slots:
    void update();

  protected:
    void timerEvent(QTimerEvent *event) override;

  private:
    bool openTransport();
    // False when the process has been asked to exit (host gone, or no PING in time).
    bool watchHost();
    void removeNamesOfGoneHost();

    BrowserContext &m_context;
    Watchdog m_watchdog;
    QTimer m_earlyTick;
    std::chrono::steady_clock::time_point m_lastTick;
};

} // namespace KEL
