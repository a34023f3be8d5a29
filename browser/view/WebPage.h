#pragma once
// The page of one view. Every page loads through the process's one network access manager.

#include <QUrl>
#include <QWebPage>

#include <cstdint>

namespace KEL {

class NoticeSink;
class ViewHost;

class WebPage : public QWebPage {
    Q_OBJECT
  public:
    // Without a host the page opens no popups and treats new-window requests as popups off.
    WebPage(NoticeSink &notices, ViewHost *host, QObject *parent);

    // -1 for ordinary pages; the number in the generated name for a popup's page.
    int32_t popupIndex() const { return m_popupIndex; }
    void setPopupIndex(int32_t index) { m_popupIndex = index; }

    bool shouldInterruptJavaScript() override;

    // Whether the main frame shows a document whose content the host handed over itself: HTML
    // text (about:blank) or an address of no origin, such as data:. Set just before the load
    // with that document's address (empty for none); any other navigation of the main frame
    // ends it.
    void setHostDocument(const QUrl &address);
    bool showsHostDocument() const;

    // The document of the page that opened this popup, empty for other pages.
    QUrl openerUrl() const { return m_openerUrl; }
    // The address the host last loaded into this page (LOAD), which may be any file.
    void setHostLoad(const QUrl &url) { m_hostLoad = url.adjusted(QUrl::RemoveFragment); }
    bool isHostLoad(const QUrl &url) const {
        return !m_hostLoad.isEmpty() && m_hostLoad == url.adjusted(QUrl::RemoveFragment);
    }

  public slots:
    // Script in a popup closed its window: the host is told (POPC) and removes the view when it
    // wants to.
    void windowCloseRequested();

  protected:
    // A new browser window becomes a popup view (POPU) when popups are allowed; modal dialogs
    // and everything while popups are off open nothing.
    QWebPage *createWindow(WebWindowType type) override;
    // While popups are off, a request for a new window loads in this page instead. A child
    // frame about to show a document of another origin than the top page's is sandboxed so
    // that it cannot navigate the top page (see keepFromTopNavigation).
    bool acceptNavigationRequest(QWebFrame *frame, const QNetworkRequest &request,
                                 NavigationType type) override;
    // JLOG, then the library's own handling.
    void javaScriptConsoleMessage(const QString &message, int lineNumber,
                                  const QString &sourceID) override;

    // Nobody can answer a dialog of a windowless process, and a modal one would block the tick
    // that ran the script for good (a running timer is not fired again from a nested event
    // loop), host watch included. So dialogs answer at once: alerts are logged, confirmations
    // and prompts declined, file choosers cancelled, and runaway scripts interrupted
    // (shouldInterruptJavaScript above).
    void javaScriptAlert(QWebFrame *frame, const QString &message) override;
    bool javaScriptConfirm(QWebFrame *frame, const QString &message) override;
    bool javaScriptPrompt(QWebFrame *frame, const QString &message, const QString &defaultValue,
                          QString *result) override;
    QString chooseFile(QWebFrame *frame, const QString &suggestedFile) override;

  private:
    NoticeSink &m_notices;
    ViewHost *m_host;
    int32_t m_popupIndex = -1;
    QUrl m_hostDocument;
    QUrl m_openerUrl;
    QUrl m_hostLoad;
};

} // namespace KEL
