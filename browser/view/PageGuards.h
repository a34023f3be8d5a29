#pragma once
// Bounds on what one page can make the browser do: open WebSockets, workers and console output.
// The engine has no such limits: a socket loop opens connections until the descriptors run out,
// and a console loop fills both segments and the log. Workers are not offered at all: this
// engine ends the whole process when a page that ran one goes away (one worker is enough, a few
// hundred do it at once), so pages take their fallback path instead. Over a bound, page script
// gets an exception (or its console line is dropped and counted) and the browser goes on. GUI
// thread only.

#include "view/ConsoleRate.h"

#include <QObject>
#include <QPointer>

class QWebFrame;
class QWebPage;

namespace KEL {

class NoticeSink;

// Open sockets of one page (all its frames) and of the whole process (console: ConsoleRate).
struct GuardLimits {
    static constexpr int kSocketsPerPage = 32;
    static constexpr int kSocketsPerProcess = 128;
};

// In every frame of `page` (child frames included), as each frame's script environment is made:
// wraps WebSocket with a counting constructor and removes Worker. Keeps the page's console gate.
void installPageGuards(QWebPage *page);

// False when the page's console message must be dropped: the page is over its console rate.
// Drops are counted and told to the host in one JLOG, at most once a second.
bool admitConsoleMessage(QWebPage *page, NoticeSink &notices);

// What page script of one frame can take, known to the guard script only (its window name is
// removed before the page runs). Gives back what it holds when its frame gets a new document
// or goes away.
class FrameQuota : public QObject {
    Q_OBJECT
  public:
    FrameQuota(QObject *pageQuota, QWebFrame *frame);
    ~FrameQuota() override;

    // The window name the guard script finds it under (removed before page script runs).
    const QString &name() const { return m_name; }
    void releaseHeld();

  public slots:
    // A socket may open; false over a bound.
    bool take();
    // A socket this frame opened has closed.
    void give();

  private:
    QPointer<QObject> m_page;
    QString m_name;
    int m_held = 0;
};

// Per page: counts of its frames together, and the console gate.
class PageQuota : public QObject {
    Q_OBJECT
  public:
    explicit PageQuota(QWebPage *page);

    int held = 0;
    bool refusalLogged = false;
    ConsoleRate console;

  private slots:
    void frameCreated(QWebFrame *frame);
    void windowObjectCleared();

  private:
    void guardFrame(QWebFrame *frame);
};

} // namespace KEL
