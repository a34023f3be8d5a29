#pragma once
// Bounds on what one page can make the browser do: workers, open WebSockets and console output.
// The engine has no such limits, and a few hundred workers end the process, a socket loop
// opens connections until the descriptors run out, and a console loop fills both segments
// and the log. Over a bound, page script gets an exception (or its console line is dropped and
// counted) and the browser goes on. GUI thread only.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QWebFrame;
class QWebPage;

namespace KEL {

class NoticeSink;

// Live workers and open sockets of one page (all its frames) and of the whole process.
struct GuardLimits {
    static constexpr int kWorkersPerPage = 16;
    static constexpr int kWorkersPerProcess = 64;
    static constexpr int kSocketsPerPage = 32;
    static constexpr int kSocketsPerProcess = 128;
    // Console messages: a burst of this many, then this many a second.
    static constexpr int kConsoleBurst = 64;
    static constexpr int kConsolePerSecond = 32;
};

// Wraps Worker and WebSocket in every frame of `page` (child frames included) with counting
// constructors as each frame's script environment is made, and keeps the page's console gate.
void installPageGuards(QWebPage *page);

// False when the page's console message must be dropped: the page is over its console rate.
// Drops are counted and told to the host in one JLOG once the flood has paused.
bool admitConsoleMessage(QWebPage *page, NoticeSink &notices);

// What page script can take: one per frame document, known to the guard script only (its
// window name is removed before the page runs). Gives back what it holds when its frame
// navigates or goes away.
class FrameQuota : public QObject {
    Q_OBJECT
  public:
    enum Kind { Worker = 0, Socket = 1 };
    FrameQuota(QObject *pageQuota, QWebFrame *frame);
    ~FrameQuota() override;

  public slots:
    bool take(int kind);
    void give(int kind);

  private:
    QPointer<QObject> m_page;
    int m_held[2] = {0, 0};
};

// Per page: counts of its frames together, and the console gate.
class PageQuota : public QObject {
    Q_OBJECT
  public:
    explicit PageQuota(QWebPage *page);

    int held[2] = {0, 0};
    bool refusalLogged[2] = {false, false};

    bool admitConsole(NoticeSink &notices);

  private slots:
    void frameCreated(QWebFrame *frame);
    void windowObjectCleared();
    void reportDropped();

  private:
    void guardFrame(QWebFrame *frame);

    QElapsedTimer m_consoleClock;
    double m_consoleTokens = GuardLimits::kConsoleBurst;
    int m_consoleDropped = 0;
    NoticeSink *m_notices = nullptr;
    QTimer m_droppedReport;
};

// Workers and sockets held by all pages of the process.
int processHeld(FrameQuota::Kind kind);

} // namespace KEL
