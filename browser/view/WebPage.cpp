#include "view/WebPage.h"

#include "CommandCodes.h"
#include "view/Notice.h"

#include "Log.h"
#include "network/NetworkAccessManager.h"

namespace KEL {

QString popupViewName(int32_t index) {
    return QStringLiteral("PopupView%1").arg(index);
}

WebPage::WebPage(NoticeSink &notices, QObject *parent) : QWebPage(parent), m_notices(notices) {
    setNetworkAccessManager(sharedNetworkAccessManager());
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
    Notice(m_notices, Code::POPC).textPayload(0, popupViewName(m_popupIndex)).post();
}

} // namespace KEL
