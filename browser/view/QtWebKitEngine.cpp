#include "view/QtWebKitEngine.h"

#include "bridge/BridgeRegistry.h"
#include "network/NetworkAccessManager.h"
#include "network/NetworkCookieJar.h"
#include "view/FileAccess.h"
#include "view/FramePacing.h"
#include "view/WebPage.h"
#include "view/WebStorage.h"
#include "view/WebView.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QWebFrame>
#include <QWebSettings>
#include <qwebkitglobal.h>

namespace KEL {

namespace {

QString iconDatabaseDirectory() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    if (!data.isEmpty())
        return data + QStringLiteral("/icons");
    return QDir::homePath() + QStringLiteral("/.") + QCoreApplication::applicationName() +
           QStringLiteral("/icons");
}

// The view whose page holds `frame` (the page's parent), for the bridge objects' calls.
QString viewNameOf(QWebFrame *frame) {
    const auto *view =
        frame && frame->page() ? qobject_cast<const WebView *>(frame->page()->parent()) : nullptr;
    return view ? view->name() : QString();
}

} // namespace

QtWebKitEngine::QtWebKitEngine() : m_pacing(std::make_unique<FramePacing>()) {}
QtWebKitEngine::~QtWebKitEngine() = default;

QString QtWebKitEngine::version() const {
    return qWebKitVersion();
}

bool QtWebKitEngine::startUp(NoticeSink &notices) {
    QWebSettings *settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::PluginsEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebSettings::JavascriptCanAccessClipboard, true);
    settings->setAttribute(QWebSettings::AcceleratedCompositingEnabled, false);
    // Console messages carry their line and source address only while the engine keeps script
    // call stacks, which it does with its developer extras on (no inspector is ever shown).
    settings->setAttribute(QWebSettings::DeveloperExtrasEnabled, true);

    // A directory that cannot be made only means the icons do not persist.
    const QString icons = iconDatabaseDirectory();
    if (!QFile::exists(icons))
        QDir().mkpath(icons);
    QWebSettings::setIconDatabasePath(icons);
    setUpWebStorage();

    settings->setAttribute(QWebSettings::DnsPrefetchEnabled, true);
    // File pages read only what fileRequestAllowed lets through, and nothing from the network
    // beyond what the sites themselves allow.
    settings->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, false);
    setExtraFileRoots(qEnvironmentVariable("KEL_FILE_ROOTS"));
    sharedNetworkAccessManager()->setRequestFilter(&fileRequestAllowed);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    if (NetworkCookieJar *jar = sharedNetworkAccessManager()->networkCookieJar())
        jar->loadCookies();
    m_bridges = std::make_unique<BridgeRegistry>(notices);
    return true;
}

void QtWebKitEngine::shutDown() {
    if (m_bridges) {
        m_bridges->deleteAll();
        m_bridges.reset();
    }
}

std::unique_ptr<EngineView> QtWebKitEngine::createView(const QString &name, bool partialUpdates,
                                                       NoticeSink &notices, ViewHost *host,
                                                       EngineView *, int32_t popupIndex) {
    // Views live no longer than the engine: the registry removes them all before shutDown.
    auto installBridges = [this](QWebFrame *frame, bool trusted) {
        if (m_bridges)
            m_bridges->installObjects(frame, viewNameOf(frame), trusted);
    };
    auto view = std::make_unique<WebView>(name, partialUpdates, notices, host, installBridges);
    view->webPage()->setPopupIndex(popupIndex);
    return view;
}

void QtWebKitEngine::saveCookies() {
    if (NetworkCookieJar *jar = sharedNetworkAccessManager()->networkCookieJar())
        jar->saveCookies();
}

void QtWebKitEngine::clearCookies() {
    if (NetworkCookieJar *jar = sharedNetworkAccessManager()->networkCookieJar())
        jar->clearCookies();
}

// Qt sends connections to loopback addresses past any application proxy.
void QtWebKitEngine::setProxy(const QString &host, uint16_t port, const QString &userName,
                              const QString &password) {
    QNetworkProxy proxy(QNetworkProxy::Socks5Proxy);
    proxy.setHostName(host);
    proxy.setUser(userName);
    proxy.setPassword(password);
    if (!userName.isEmpty() && !password.isEmpty())
        sharedNetworkAccessManager()->setProxyAuthentication(userName, password);
    proxy.setPort(port);
    QNetworkProxy::setApplicationProxy(proxy);
}

void QtWebKitEngine::setAuthentication(const QString &userName, const QString &password) {
    sharedNetworkAccessManager()->setAuthentication(userName, password);
}

void QtWebKitEngine::trustServer(const QUrl &url) {
    sharedNetworkAccessManager()->trustServer(url);
}

void QtWebKitEngine::addObject(const QString &name, const QString &origins) {
    if (m_bridges)
        m_bridges->addObject(name, origins);
}

void QtWebKitEngine::setObjectProperty(const QString &object, const QString &property,
                                       const QString &value) {
    if (m_bridges)
        m_bridges->setObjectProperty(object, property, value);
}

bool QtWebKitEngine::setFrameRate(EngineView &view, int32_t rate, int32_t scalePercent) {
    return m_pacing->setRate(static_cast<WebView &>(view), rate, scalePercent);
}

bool QtWebKitEngine::paintFrameNow(EngineView &view) {
    return m_pacing->paintNow(static_cast<WebView &>(view));
}

void QtWebKitEngine::forgetFrameArea(const QString &name) {
    m_pacing->forget(name);
}

void QtWebKitEngine::clearFrameAreas() {
    m_pacing->clear();
}

void QtWebKitEngine::frameTick() {
    m_pacing->tick();
}

} // namespace KEL
