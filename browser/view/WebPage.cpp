#include "view/WebPage.h"

#include "CommandCodes.h"
#include "view/FileAccess.h"
#include "view/Notice.h"
#include "view/PageGuards.h"
#include "view/PageTrust.h"
#include "view/ViewHost.h"
#include "view/WebView.h"

#include "Log.h"
#include "network/NetworkAccessManager.h"

#include <QNetworkRequest>
#include <QWebElement>
#include <QWebFrame>

namespace KEL {

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
    installPageGuards(this);
}

// The engine loads the requested address into the page returned; from then on the popup is an
// ordinary view under its generated name.
QWebPage *WebPage::createWindow(WebWindowType type) {
    if (type != WebBrowserWindow || !m_host || !m_host->allowPopups())
        return nullptr;
    int32_t index = -1;
    auto *view =
        static_cast<WebView *>(m_host->createPopupView(&index, qobject_cast<WebView *>(parent())));
    if (!view)
        return nullptr;
    Notice(m_notices, Code::POPU)
        .textPayload(0, view->name())
        .integer(2, kPopupWidth)
        .integer(3, kPopupHeight)
        .string(0, viewNameOf(this))
        .post();
    WebPage *page = view->webPage();
    page->m_openerUrl = mainFrame()->url();
    connect(page, &QWebPage::windowCloseRequested, page, &WebPage::windowCloseRequested);
    return page;
}

namespace {

bool isBlank(const QUrl &url) {
    return url.isEmpty() || url.scheme() == QLatin1String("about") ||
           url.scheme() == QLatin1String("javascript");
}

// HTML text shows as about:blank, or with no address at all before it has one.
bool sameDocument(const QUrl &a, const QUrl &b) {
    const auto blankPage = [](const QUrl &url) {
        return url.isEmpty() || url == QUrl(QStringLiteral("about:blank"));
    };
    return blankPage(a) ? blankPage(b) : a == b;
}

} // namespace

void WebPage::setHostDocument(const QUrl &address) {
    m_hostDocument = address;
}

bool WebPage::showsHostDocument() const {
    return !m_hostDocument.isEmpty() && sameDocument(m_hostDocument, mainFrame()->url());
}

namespace {

// An ad or any other frame of a foreign origin could send the top page, and with it the
// player, anywhere: to a page made to look like the game's. The engine lets a sandboxed frame
// navigate only itself, so such a frame is sandboxed before its document is made, keeping
// everything else a page may do (script, forms, popups, its own origin). A sandbox the page
// set itself is kept, less any top-navigation permission. The engine has no variant of the
// permission for a user's click, so the top page stays put even then; links meant to leave
// open a new window.
void keepFromTopNavigation(QWebFrame *frame, const QUrl &target) {
    QWebFrame *top = frame->page()->mainFrame();
    if (isBlank(target) || originOf(target) == originOf(top->url()))
        return;
    QWebElement owner = frame->ownerElement();
    if (owner.isNull())
        return;
    static const QString permissive =
        QStringLiteral("allow-scripts allow-same-origin allow-forms allow-popups allow-modals "
                       "allow-pointer-lock allow-orientation-lock allow-presentation");
    if (!owner.hasAttribute(QStringLiteral("sandbox"))) {
        owner.setAttribute(QStringLiteral("sandbox"), permissive);
        return;
    }
    QStringList tokens =
        owner.attribute(QStringLiteral("sandbox")).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const int before = tokens.size();
    tokens.removeAll(QStringLiteral("allow-top-navigation"));
    tokens.removeAll(QStringLiteral("allow-top-navigation-by-user-activation"));
    if (tokens.size() != before)
        owner.setAttribute(QStringLiteral("sandbox"), tokens.join(QLatin1Char(' ')));
}

} // namespace

// A request without a frame would open a new window.
bool WebPage::acceptNavigationRequest(QWebFrame *frame, const QNetworkRequest &request,
                                      NavigationType type) {
    if (frame && !fileNavigationAllowed(frame, request.url()))
        return false;
    if (frame && frame == mainFrame()) {
        // The host's own document passes here on its way in; anything else replaces it.
        if (!sameDocument(m_hostDocument, request.url()))
            m_hostDocument = QUrl();
    } else if (frame) {
        keepFromTopNavigation(frame, request.url());
    }
    if ((m_host && m_host->allowPopups()) || frame)
        return QWebPage::acceptNavigationRequest(frame, request, type);
    mainFrame()->load(request.url());
    return false;
}

void WebPage::javaScriptConsoleMessage(const QString &message, int lineNumber,
                                       const QString &sourceID) {
    if (!admitConsoleMessage(this, m_notices))
        return;
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
