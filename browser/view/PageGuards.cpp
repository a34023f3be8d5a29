#include "view/PageGuards.h"

#include "CommandCodes.h"
#include "Log.h"
#include "view/Notice.h"

#include <QRandomGenerator>
#include <QWebFrame>
#include <QWebPage>

namespace KEL {

namespace {

int g_processHeld[2] = {0, 0};

constexpr int kPageLimit[2] = {GuardLimits::kWorkersPerPage, GuardLimits::kSocketsPerPage};
constexpr int kProcessLimit[2] = {GuardLimits::kWorkersPerProcess, GuardLimits::kSocketsPerProcess};
const char *const kKindName[2] = {"worker", "WebSocket"};

bool validKind(int kind) {
    return kind == FrameQuota::Worker || kind == FrameQuota::Socket;
}

// Runs before any script of the frame's document. Everything the wrappers call is captured
// here, so a page that replaces Function.prototype.apply, WeakSet, addEventListener or the
// prototypes' methods afterwards changes nothing. The originals are reachable from nowhere: the
// wrappers take their place on window and as `prototype.constructor`, and instances keep the
// original prototype, so `instanceof` and the constants still hold. A worker counts until
// terminate() or the end of its document (one that closes itself is not seen); a socket until its
// close.
const char kGuardScript[] = R"JS(
(function (w, quotaName, limits) {
  var quota = w[quotaName];
  delete w[quotaName];
  var apply = Function.prototype.call.bind(Function.prototype.apply);
  var defineProperty = Object.defineProperty;
  var describe = Object.getOwnPropertyDescriptor, Err = Error;
  var weakSet = WeakSet, has = WeakSet.prototype.has, add = WeakSet.prototype.add;
  var remove = WeakSet.prototype['delete'];
  function refuse(label, kind) {
    var e = new Err('Too many ' + label + 's: a page may keep ' + limits[kind][0] +
                    ' and the browser ' + limits[kind][1]);
    e.name = 'QuotaExceededError';
    throw e;
  }
  function wrap(label, kind, track) {
    var Original = w[label];
    if (typeof Original !== 'function') return;
    var made = {};
    made[label] = function (a, b) {
      if (!quota.take(kind)) refuse(label, kind);
      var object;
      try {
        var count = arguments.length;
        object = count == 0 ? new Original() : count == 1 ? new Original(a) : new Original(a, b);
      } catch (e) { quota.give(kind); throw e; }
      track(object, Original);
      return object;
    };
    var Guarded = made[label];
    try { defineProperty(Guarded, 'length', {value: Original.length}); } catch (e) {}
    for (var key in {CONNECTING: 0, OPEN: 0, CLOSING: 0, CLOSED: 0})
      if (key in Original) defineProperty(Guarded, key, {value: Original[key], enumerable: true});
    Guarded.prototype = Original.prototype;
    defineProperty(Original.prototype, 'constructor',
                   {value: Guarded, writable: true, configurable: true});
    defineProperty(w, label, {value: Guarded, writable: true, configurable: true});
  }
  var workers = new weakSet();
  wrap('Worker', 0, function (worker, Original) { apply(add, workers, [worker]); });
  if (typeof w.Worker === 'function') {
    var terminate = w.Worker.prototype.terminate;
    defineProperty(w.Worker.prototype, 'terminate', {writable: true, configurable: true,
      value: function terminate_() {
        var result = apply(terminate, this, arguments);
        if (apply(has, workers, [this])) { apply(remove, workers, [this]); quota.give(0); }
        return result;
      }});
  }
  wrap('WebSocket', 1, function (socket, Original) {
    var closed = false, state = describe(Original.prototype, 'readyState');
    var listen = Original.prototype.addEventListener;
    apply(listen, socket, ['close', function () {
      var now = state && state.get ? apply(state.get, socket, []) : socket.readyState;
      if (closed || now !== 3) return;
      closed = true;
      quota.give(1);
    }]);
  });
})(window, %1, %2);
)JS";

QString randomName() {
    return QStringLiteral("k") + QString::number(QRandomGenerator::global()->generate64(), 36) +
           QString::number(QRandomGenerator::global()->generate64(), 36);
}

} // namespace

int processHeld(FrameQuota::Kind kind) {
    return g_processHeld[kind];
}

// ---- FrameQuota ----------------------------------------------------------------------------

FrameQuota::FrameQuota(QObject *pageQuota, QWebFrame *frame) : QObject(frame), m_page(pageQuota) {}

FrameQuota::~FrameQuota() {
    auto *page = qobject_cast<PageQuota *>(m_page.data());
    for (int kind : {Worker, Socket}) {
        g_processHeld[kind] -= m_held[kind];
        if (page)
            page->held[kind] -= m_held[kind];
    }
}

bool FrameQuota::take(int kind) {
    if (!validKind(kind))
        return false;
    auto *page = qobject_cast<PageQuota *>(m_page.data());
    const int pageHeld = page ? page->held[kind] : 0;
    if (pageHeld >= kPageLimit[kind] || g_processHeld[kind] >= kProcessLimit[kind]) {
        if (page && !page->refusalLogged[kind]) {
            page->refusalLogged[kind] = true;
            logMessage(std::string("Page refused a ") + kKindName[kind] + " over its bound (" +
                       std::to_string(pageHeld) + " in the page, " +
                       std::to_string(g_processHeld[kind]) + " in the browser)");
        }
        return false;
    }
    ++m_held[kind];
    ++g_processHeld[kind];
    if (page)
        ++page->held[kind];
    return true;
}

void FrameQuota::give(int kind) {
    if (!validKind(kind) || m_held[kind] == 0)
        return;
    --m_held[kind];
    --g_processHeld[kind];
    if (auto *page = qobject_cast<PageQuota *>(m_page.data()))
        --page->held[kind];
}

// ---- PageQuota -----------------------------------------------------------------------------

PageQuota::PageQuota(QWebPage *page) : QObject(page) {
    setObjectName(QStringLiteral("KEL::PageQuota"));
    m_consoleClock.start();
    m_droppedReport.setSingleShot(true);
    m_droppedReport.setInterval(1000);
    connect(&m_droppedReport, &QTimer::timeout, this, &PageQuota::reportDropped);
    connect(page, &QWebPage::frameCreated, this, &PageQuota::frameCreated, Qt::UniqueConnection);
    frameCreated(page->mainFrame());
}

void PageQuota::frameCreated(QWebFrame *frame) {
    connect(frame, &QWebFrame::javaScriptWindowObjectCleared, this, &PageQuota::windowObjectCleared,
            Qt::UniqueConnection);
}

void PageQuota::windowObjectCleared() {
    if (auto *frame = qobject_cast<QWebFrame *>(sender()))
        guardFrame(frame);
}

// The frame's previous document is gone with its workers and sockets: its quota gives back.
void PageQuota::guardFrame(QWebFrame *frame) {
    for (FrameQuota *old : frame->findChildren<FrameQuota *>(QString(), Qt::FindDirectChildrenOnly))
        delete old;
    auto *quota = new FrameQuota(this, frame);
    const QString name = randomName();
    frame->addToJavaScriptWindowObject(name, quota);
    const QString limits = QStringLiteral("[[%1, %2], [%3, %4]]")
                               .arg(GuardLimits::kWorkersPerPage)
                               .arg(GuardLimits::kWorkersPerProcess)
                               .arg(GuardLimits::kSocketsPerPage)
                               .arg(GuardLimits::kSocketsPerProcess);
    frame->evaluateJavaScript(
        QString::fromLatin1(kGuardScript).arg(QLatin1Char('"') + name + QLatin1Char('"'), limits));
}

bool PageQuota::admitConsole(NoticeSink &notices) {
    m_notices = &notices;
    const double seconds = double(m_consoleClock.restart()) / 1000.0;
    m_consoleTokens = std::min<double>(GuardLimits::kConsoleBurst,
                                       m_consoleTokens + seconds * GuardLimits::kConsolePerSecond);
    if (m_consoleTokens >= 1.0) {
        m_consoleTokens -= 1.0;
        return true;
    }
    if (m_consoleDropped++ == 0)
        m_droppedReport.start();
    return false;
}

// At most once a second while a flood lasts, so the host learns how much it missed.
void PageQuota::reportDropped() {
    if (m_consoleDropped == 0 || !m_notices)
        return;
    Notice(*m_notices, Code::JLOG)
        .textPayload(0, QStringLiteral("%1 console messages dropped (more than %2 a second)")
                            .arg(m_consoleDropped)
                            .arg(GuardLimits::kConsolePerSecond))
        .integer(2, 0)
        .textPayload(3, QString())
        .post();
    m_consoleDropped = 0;
}

// ---- Entry points --------------------------------------------------------------------------

void installPageGuards(QWebPage *page) {
    if (!page->findChild<PageQuota *>(QString(), Qt::FindDirectChildrenOnly))
        new PageQuota(page);
}

bool admitConsoleMessage(QWebPage *page, NoticeSink &notices) {
    auto *quota = page->findChild<PageQuota *>(QString(), Qt::FindDirectChildrenOnly);
    return !quota || quota->admitConsole(notices);
}

} // namespace KEL
