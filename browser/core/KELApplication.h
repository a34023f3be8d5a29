#pragma once
// The application object of the browser process and its life: start-up, the 33 ms tick, the
// watch on the host process, shutdown.

#include <QApplication>

namespace KEL {

class KELApplication : public QApplication {
    Q_OBJECT
  public:
    KELApplication(int &argc, char **argv);
    ~KELApplication() override;

    // Paths, names, web settings, style, transport, timer. False when the shared segments
    // could not be opened: the process then ends at once (with a log line) instead of idling
    // until its ping deadline, since no host can ever talk to it.
    bool startUp();
    // Releases views, segments and registries, in that order; after the event loop returned.
    void shutDown();
    // One pass: host watch, command loop, view tick.
    void tick();

  public slots:
    void update();

  protected:
    void timerEvent(QTimerEvent *event) override;

  private:
    bool openTransport();
    // False when the process has been asked to exit (host gone, or no PING in time).
    bool watchHost();
    void removeNamesOfGoneHost();
};

// Whether the host process named by INIT still runs (a zero-timeout check).
bool hostAlive();
// Sets `exiting` and leaves the event loop with code 0. Every later tick returns at once.
void requestExit();

} // namespace KEL
