#include "view/PageGuards.h"

#include "CommandCodes.h"
#include "Log.h"
#include "view/Notice.h"

#include <QRandomGenerator>
#include <QWebFrame>
#include <QWebPage>

#include <algorithm>

namespace KEL {

namespace {

int g_processHeld = 0;

// Runs before any script of the frame's document. Everything the wrapper calls is captured
// here, so a page that replaces Function.prototype.apply, addEventListener or the prototype's
// methods afterwards changes nothing. The original constructor is reachable from nowhere: the
// wrapper takes its place on window and as `prototype.constructor`, and sockets keep the
// original prototype, so `instanceof` and the constants still hold. A socket counts until its
// close. The engine may announce the same window object more than once (a first document's
// window is kept for the next one of the same origin): the marker keeps it from being wrapped
// twice.
const char kGuardScript[] = R"JS(
(function (w, quotaName, marker, perPage, perProcess) {
  var quota = w[quotaName];
  delete w[quotaName];
  if (Object.getOwnPropertyDescriptor(w, marker)) return false;
  Object.defineProperty(w, marker, {value: 0});
  delete w.Worker;
  delete w.SharedWorker;
  var Original = w.WebSocket;
  if (typeof Original !== 'function') return true;
  var apply = Function.prototype.call.bind(Function.prototype.apply);
  var defineProperty = Object.defineProperty, Err = Error;
  var state = Object.getOwnPropertyDescriptor(Original.prototype, 'readyState');
  var listen = Original.prototype.addEventListener;
  var WebSocket = function WebSocket(a, b) {
    if (!quota.take()) {
      var e = new Err('Too many WebSockets: a page may keep ' + perPage + ' open and the browser ' +
                      perProcess);
      e.name = 'QuotaExceededError';
      throw e;
    }
    var socket, count = arguments.length;
    try {
      socket = count == 0 ? new Original() : count == 1 ? new Original(a) : new Original(a, b);
    } catch (e) { quota.give(); throw e; }
    var closed = false;
    apply(listen, socket, ['close', function () {
      var now = state && state.get ? apply(state.get, socket, []) : socket.readyState;
      if (closed || now !== 3) return;
      closed = true;
      quota.give();
    }]);
    return socket;
  };
  try { defineProperty(WebSocket, 'length', {value: Original.length}); } catch (e) {}
  for (var key in {CONNECTING: 0, OPEN: 0, CLOSING: 0, CLOSED: 0})
    defineProperty(WebSocket, key, {value: Original[key], enumerable: true});
  WebSocket.prototype = Original.prototype;
  defineProperty(Original.prototype, 'constructor',
                 {value: WebSocket, writable: true, configurable: true});
  defineProperty(w, 'WebSocket', {value: WebSocket, writable: true, configurable: true});
  return true;
})(window, %1, %2, %3, %4);
)JS";

QString randomName() {
    return QStringLiteral("k") + QString::number(QRandomGenerator::global()->generate64(), 36) +
           QString::number(QRandomGenerator::global()->generate64(), 36);
}

} // namespace

// ---- FrameQuota ----------------------------------------------------------------------------

FrameQuota::FrameQuota(QObject *pageQuota, QWebFrame *frame)
    : QObject(frame), m_page(pageQuota), m_name(randomName()) {}

FrameQuota::~FrameQuota() {
    releaseHeld();
}

void FrameQuota::releaseHeld() {
    g_processHeld -= m_held;
    if (auto *page = qobject_cast<PageQuota *>(m_page.data()))
        page->held -= m_held;
    m_held = 0;
}

bool FrameQuota::take() {
    auto *page = qobject_cast<PageQuota *>(m_page.data());
    const int pageHeld = page ? page->held : 0;
    if (pageHeld >= GuardLimits::kSocketsPerPage ||
        g_processHeld >= GuardLimits::kSocketsPerProcess) {
        if (page && !page->refusalLogged) {
            page->refusalLogged = true;
            logMessage("Page refused a WebSocket over its bound (" + std::to_string(pageHeld) +
                       " open in the page, " + std::to_string(g_processHeld) + " in the browser)");
        }
        return false;
    }
    ++m_held;
    ++g_processHeld;
    if (page)
        ++page->held;
    return true;
}

void FrameQuota::give() {
    if (m_held == 0)
        return;
    --m_held;
    --g_processHeld;
    if (auto *page = qobject_cast<PageQuota *>(m_page.data()))
        --page->held;
}

// ---- PageQuota -----------------------------------------------------------------------------

PageQuota::PageQuota(QWebPage *page) : QObject(page) {
    setObjectName(QStringLiteral("KEL::PageQuota"));
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

// One quota per frame, under one name for the frame's life. When the script finds a new window
// object, the frame's previous document is gone with its sockets: what it held is given back.
void PageQuota::guardFrame(QWebFrame *frame) {
    FrameQuota *quota = frame->findChild<FrameQuota *>(QString(), Qt::FindDirectChildrenOnly);
    if (!quota)
        quota = new FrameQuota(this, frame);
    frame->addToJavaScriptWindowObject(quota->name(), quota);
    const QString quoted = QLatin1Char('"') + quota->name() + QLatin1Char('"');
    const QString marker = QLatin1Char('"') + quota->name() + QStringLiteral("m\"");
    if (frame
            ->evaluateJavaScript(QString::fromLatin1(kGuardScript)
                                     .arg(quoted, marker)
                                     .arg(GuardLimits::kSocketsPerPage)
                                     .arg(GuardLimits::kSocketsPerProcess))
            .toBool())
        quota->releaseHeld();
}

// ---- Entry points --------------------------------------------------------------------------

void installPageGuards(QWebPage *page) {
    if (!page->findChild<PageQuota *>(QString(), Qt::FindDirectChildrenOnly))
        new PageQuota(page);
}

bool admitConsoleMessage(QWebPage *page, NoticeSink &notices) {
    auto *quota = page->findChild<PageQuota *>(QString(), Qt::FindDirectChildrenOnly);
    return !quota || quota->console.admit(notices);
}

} // namespace KEL
