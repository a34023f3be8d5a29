#include "view/WebPage.h"

#include "CommandCodes.h"
#include "view/Notice.h"
#include "view/ViewHost.h"
#include "view/WebView.h"

#include "Log.h"
#include "network/NetworkAccessManager.h"

#include <QNetworkRequest>
#include <QWebFrame>

namespace KEL {

QString popupViewName(int32_t index) {
    return QStringLiteral("PopupView%1").arg(index);
}

namespace {

// The name of the view that shows `page` (its parent), so notices that name no view in their
// first string can still say where they came from.
QString viewNameOf(const QWebPage *page) {
    const auto *view = qobject_cast<const WebView *>(page->parent());
    return view ? view->name() : QString();
}

} // namespace

WebPage::WebPage(NoticeSink &notices, ViewHost *host, QObject *parent)
    : QWebPage(parent), m_notices(notices), m_host(host) {
    setNetworkAccessManager(sharedNetworkAccessManager());
}

// The engine loads the requested address into the page returned; from then on the popup is an
// ordinary view under its generated name.
QWebPage *WebPage::createWindow(WebWindowType type) {
    if (type != WebBrowserWindow || !m_host || !m_host->allowPopups())
        return nullptr;
    int32_t index = -1;
    WebView *view = m_host->createPopupView(&index);
    if (!view)
        return nullptr;
    Notice(m_notices, Code::POPU)
        .textPayload(0, view->name())
        .integer(2, kPopupWidth)
        .integer(3, kPopupHeight)
        .string(0, viewNameOf(this))
        .post();
    WebPage *page = view->webPage();
    page->setPopupIndex(index);
    connect(page, &QWebPage::windowCloseRequested, page, &WebPage::windowCloseRequested);
    return page;
}

// A request without a frame would open a new window.
bool WebPage::acceptNavigationRequest(QWebFrame *frame, const QNetworkRequest &request,
                                      NavigationType type) {
    if ((m_host && m_host->allowPopups()) || frame)
        return QWebPage::acceptNavigationRequest(frame, request, type);
    mainFrame()->load(request.url());
    return false;
}

void WebPage::javaScriptConsoleMessage(const QString &message, int lineNumber,
                                       const QString &sourceID) {
    Notice(m_notices, Code::JLOG)
        .textPayload(0, message)
        .integer(2, lineNumber)
        .textPayload(3, sourceID)
        .string(0, viewNameOf(this))
        .post();
    QWebPage::javaScriptConsoleMessage(message, lineNumber, sourceID);
}

void WebPage::javaScriptAlert(QWebFrame *, const QString &message) {
    logMessage("Script alert: " + message.left(200).toUtf8().toStdString());
}

bool WebPage::javaScriptConfirm(QWebFrame *, const QString &) {
    return false;
}

bool WebPage::javaScriptPrompt(QWebFrame *, const QString &, const QString &, QString *) {
    return false;
}

QString WebPage::chooseFile(QWebFrame *, const QString &) {
    return QString();
}

bool WebPage::shouldInterruptJavaScript() {
    return true;
}

void WebPage::windowCloseRequested() {
    if (m_popupIndex == -1)
        return;
    const QString name = popupViewName(m_popupIndex);
    Notice(m_notices, Code::POPC).textPayload(0, name).string(0, name).post();
}

} // namespace KEL
