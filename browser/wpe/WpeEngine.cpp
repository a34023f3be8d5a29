// GLib's headers come before Qt's: Qt's keyword macros would rewrite their field names.
#include <wpe/fdo.h>
#include <wpe/unstable/fdo-shm.h>
#include <wpe/webkit.h>

#include "wpe/WpeEngine.h"

#include "CommandCodes.h"
#include "Log.h"
#include "network/NetworkStorage.h"
#include "view/Notice.h"
#include "wpe/ConsoleRelay.h"
#include "wpe/WpeGuards.h"
#include "wpe/WpeIcons.h"
#include "wpe/WpeSandbox.h"
#include "wpe/WpeScripts.h"
#include "wpe/WpeView.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <thread>

namespace KEL {

namespace {

// Console lines of all pages together: a burst of this many, then this many a second.
// The engine's disk cache writes an entry about a second after the resource arrived; its
// network process ends with this one. This long after the last load everything has landed.
constexpr qint64 kCacheWriteMs = 2000;

QString randomName(const char *prefix) {
    QString name = QLatin1String(prefix);
    for (int i = 0; i < 4; ++i)
        name += QString::number(QRandomGenerator::system()->generate(), 16);
    return name;
}

// Servers are told apart by host alone, as with the other engine: a site the host loaded keeps
// its credentials when it moves from http to https or to another port.
QString serverKey(const QString &host) {
    return host.toLower();
}

ScriptOrigins scriptOrigins(const OriginList &list) {
    ScriptOrigins origins;
    origins.any = list.any();
    for (const QString &origin : list.origins())
        origins.origins << origin;
    return origins;
}

} // namespace

WpeEngine::WpeEngine()
    : m_bridgeChannel(randomName("kelBridge")), m_consoleChannel(randomName("kelConsole")),
      m_updaterName(randomName("kelUpdate")) {}

WpeEngine::~WpeEngine() {
    shutDown();
}

QString WpeEngine::version() const {
    return QStringLiteral("WPE WebKit %1.%2.%3")
        .arg(webkit_get_major_version())
        .arg(webkit_get_minor_version())
        .arg(webkit_get_micro_version());
}

bool WpeEngine::startUp(NoticeSink &notices) {
    m_notices = &notices;
    PageSandboxTrial sandboxTrial; // runs while the engine starts
    if (!wpe_loader_init("libWPEBackend-fdo-1.0.so.1") || !wpe_fdo_initialize_shm()) {
        logMessage("Cannot start WPE WebKit's view backend (libWPEBackend-fdo-1.0.so.1)");
        return false;
    }
    const QString data =
        QStandardPaths::writableLocation(QStandardPaths::DataLocation) + QStringLiteral("/wpe");
    const QString cache = diskCacheDirectory() + QStringLiteral("/wpe");
    makePrivateDirectory(data);
    makePrivateDirectory(cache);
    WpeIconFetch::setFolder(data + QStringLiteral("/../icons"));
    // The engine's own processes keep some state under the XDG folders (this process has found
    // its own by now). In the host kit's sandbox only the browser's folders can be written, and
    // a web process that cannot write there ends at once; so they get folders inside ours.
    const QString helperData = data + QStringLiteral("/xdg-data");
    const QString helperCache = cache + QStringLiteral("/xdg-cache");
    makePrivateDirectory(helperData);
    makePrivateDirectory(helperCache);
    qputenv("XDG_DATA_HOME", QFile::encodeName(helperData));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(helperCache));
    m_data = webkit_website_data_manager_new("base-data-directory", data.toUtf8().constData(),
                                             "base-cache-directory", cache.toUtf8().constData(),
                                             nullptr);
    // The host's memory bound holds for the pages' process: the engine stops a page over it
    // (web-process-terminated), and the browser goes on.
    WebKitMemoryPressureSettings *memory = webkit_memory_pressure_settings_new();
    const qulonglong limit = qEnvironmentVariable("KEL_MEMORY_LIMIT").toULongLong();
    if (limit > 0)
        webkit_memory_pressure_settings_set_memory_limit(
            memory, guint(std::max<qulonglong>(limit >> 20, 64)));
    m_context =
        WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "website-data-manager", m_data,
                                        "memory-pressure-settings", memory, nullptr));
    webkit_memory_pressure_settings_free(memory);
    const std::string noSandbox = sandboxTrial.verdict();
    webkit_web_context_set_sandbox_enabled(m_context, noSandbox.empty());
    logMessage(noSandbox.empty() ? "Page sandbox: on (bubblewrap around each page process)"
                                 : "Page sandbox: off (" + noSandbox + ")");
    m_guards = std::make_unique<WpeGuards>(m_context, cache + QStringLiteral("/run"),
                                           QCoreApplication::applicationDirPath() +
                                               QStringLiteral("/wpe-extensions"));
    webkit_web_context_set_cache_model(m_context, WEBKIT_CACHE_MODEL_WEB_BROWSER);
    const QString extensions =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + kWpeExtensionFolder;
    m_consoleFromEngine = extensionLoads(extensions + QStringLiteral("/libkel_wpe_console.so"));
    if (m_consoleFromEngine)
        webkit_web_context_set_web_extensions_directory(m_context,
                                                        QFile::encodeName(extensions).constData());
    else
        logMessage("The page extension is missing from " + extensions.toStdString() +
                   ": console messages carry no line and source");
    // By default each view's pages run in a page process of their own (popups share their
    // opener's): a page that is stopped takes no other view with it. Shared, views start in the
    // oldest view's process and take less than half the memory each while they show its site,
    // and a stopped page stops them all; the engine moves a page of another site to a process
    // of its own.
    webkit_web_context_set_process_model(m_context,
                                         WEBKIT_PROCESS_MODEL_MULTIPLE_SECONDARY_PROCESSES);
    const QByteArray processes = qgetenv("KEL_PAGE_PROCESS");
    m_sharedPageProcess = processes == "shared";
    if (!processes.isEmpty() && processes != "shared" && processes != "per-view")
        logMessage("KEL_PAGE_PROCESS is \"" + processes.left(64).toStdString() +
                   "\", neither \"shared\" nor \"per-view\": each view gets a page process "
                   "of its own");
    WebKitCookieManager *cookies = webkit_website_data_manager_get_cookie_manager(m_data);
    const QString cookieFile = data + QStringLiteral("/cookies.sqlite");
    webkit_cookie_manager_set_persistent_storage(cookies, cookieFile.toUtf8().constData(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    webkit_cookie_manager_set_accept_policy(cookies, WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS);
    return true;
}

void WpeEngine::shutDown() {
    letCacheWritesLand();
    m_guards.reset();
    if (m_context) {
        g_object_unref(m_context);
        m_context = nullptr;
    }
    if (m_data) {
        g_object_unref(m_data);
        m_data = nullptr;
    }
}

std::unique_ptr<EngineView> WpeEngine::createView(const QString &name, bool partialUpdates,
                                                  NoticeSink &notices, ViewHost *host,
                                                  EngineView *opener, int32_t popupIndex) {
    // The oldest view still there: the views made after it start where its site runs.
    WpeView *related = static_cast<WpeView *>(opener);
    if (!related && m_sharedPageProcess && !m_views.empty())
        related = *std::min_element(m_views.begin(), m_views.end(), [](WpeView *a, WpeView *b) {
            return a->created() < b->created();
        });
    auto view =
        std::make_unique<WpeView>(*this, name, partialUpdates, notices, host, related, popupIndex);
    g_signal_connect(view->webView(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView *, WebKitLoadEvent event, gpointer engine) {
                         if (event == WEBKIT_LOAD_FINISHED)
                             static_cast<WpeEngine *>(engine)->m_lastLoadEnd.start();
                     }),
                     this);
    if (m_guards)
        m_guards->watchView(view->webView());
    return view;
}

// A game that quits right after a page loaded would otherwise find that page missing from the
// cache next time. The wait only follows a recent load and never exceeds kCacheWriteMs.
void WpeEngine::letCacheWritesLand() {
    if (!m_context || !m_lastLoadEnd.isValid())
        return;
    const qint64 left = kCacheWriteMs - m_lastLoadEnd.elapsed();
    m_lastLoadEnd.invalidate();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(left));
}

bool WpeEngine::setFrameRate(EngineView &view, int32_t rate, int32_t scalePercent) {
    return static_cast<WpeView &>(view).setFrameRate(rate, scalePercent);
}

bool WpeEngine::paintFrameNow(EngineView &view) {
    return static_cast<WpeView &>(view).paintFrameNow();
}

void WpeEngine::frameTick() {
    for (WpeView *view : m_views)
        view->frameTick();
}

// The network process writes every change to its database as it happens.
void WpeEngine::saveCookies() {}

void WpeEngine::clearCookies() {
    if (m_data)
        webkit_website_data_manager_clear(m_data, WEBKIT_WEBSITE_DATA_COOKIES, 0, nullptr, nullptr,
                                          nullptr);
}

// Connections to loopback addresses go past the proxy, as with the other engine.
void WpeEngine::setProxy(const QString &host, uint16_t port, const QString &userName,
                         const QString &password) {
    if (!m_data)
        return;
    m_proxyUser = userName;
    m_proxyPassword = password;
    QString address = QStringLiteral("socks5://");
    if (!userName.isEmpty() && !password.isEmpty())
        address += QString::fromUtf8(QUrl::toPercentEncoding(userName)) + QLatin1Char(':') +
                   QString::fromUtf8(QUrl::toPercentEncoding(password)) + QLatin1Char('@');
    address +=
        (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) +
        QLatin1Char(':') + QString::number(port);
    const char *const loopback[] = {"localhost", "127.0.0.0/8", "::1", nullptr};
    WebKitNetworkProxySettings *settings =
        webkit_network_proxy_settings_new(address.toUtf8().constData(), loopback);
    webkit_website_data_manager_set_network_proxy_settings(m_data, WEBKIT_NETWORK_PROXY_MODE_CUSTOM,
                                                           settings);
    webkit_network_proxy_settings_free(settings);
}

void WpeEngine::setAuthentication(const QString &userName, const QString &password) {
    m_authUser = userName;
    m_authPassword = password;
}

void WpeEngine::trustServer(const QUrl &url) {
    if (!url.host().isEmpty())
        m_trustedServers.insert(serverKey(url.host()));
}

bool WpeEngine::credentialsFor(const QString &host, QString *userName, QString *password) const {
    if (m_authUser.isEmpty() || !m_trustedServers.count(serverKey(host)))
        return false;
    *userName = m_authUser;
    *password = m_authPassword;
    return true;
}

bool WpeEngine::proxyCredentials(QString *userName, QString *password) const {
    if (m_proxyUser.isEmpty() || m_proxyPassword.isEmpty())
        return false;
    *userName = m_proxyUser;
    *password = m_proxyPassword;
    return true;
}

void WpeEngine::addObject(const QString &name, const QString &origins) {
    auto found = m_objects.find(name);
    if (found != m_objects.end()) {
        logMessage("Bridge object already exists: " + name.toLatin1().toStdString());
        if (origins.isEmpty())
            return;
        found->allowed = OriginList::parse(origins);
    } else {
        m_objects.insert(name, BridgeObject{OriginList::parse(origins), {}, name});
    }
    hostTrustChanged();
}

// A property of an object not added yet adds it. "objectName" also renames the object in the
// calls it reports (INVK), as a native object's name property would.
void WpeEngine::setObjectProperty(const QString &object, const QString &property,
                                  const QString &value) {
    auto found = m_objects.find(object);
    if (found == m_objects.end())
        found = m_objects.insert(object, BridgeObject{OriginList(), {}, object});
    found->properties[property] = value;
    if (property == QLatin1String("objectName"))
        found->reportedName = value;
    hostTrustChanged();
    const QByteArray update = propertyUpdate(m_updaterName, object, property, value).toUtf8();
    for (WpeView *view : m_views)
        webkit_web_view_run_javascript(view->webView(), update.constData(), nullptr, nullptr,
                                       nullptr);
}

bool WpeEngine::allObjectsAllowed(const QUrl &document) const {
    for (const BridgeObject &object : m_objects)
        if (!object.allowed.matches(document))
            return false;
    return true;
}

QString WpeEngine::reportedName(const QString &object) const {
    const auto found = m_objects.find(object);
    return found == m_objects.end() ? object : found->reportedName;
}

QString WpeEngine::bridgeScriptFor(bool hostDocument) const {
    QMap<QString, ScriptObject> objects;
    for (auto object = m_objects.begin(); object != m_objects.end(); ++object)
        objects.insert(object.key(),
                       ScriptObject{scriptOrigins(object->allowed), object->properties});
    return bridgeScript(m_bridgeChannel, m_updaterName, objects, scriptOrigins(hostLoadedOrigins()),
                        hostDocument);
}

bool WpeEngine::objectAllowed(const QString &object, const QUrl &document, bool trusted) const {
    const auto found = m_objects.find(object);
    return found != m_objects.end() && (trusted || found->allowed.matches(document));
}

void WpeEngine::hostTrustChanged() {
    if (m_guards)
        m_guards->hostLoadsChanged();
    for (WpeView *view : m_views)
        view->installScripts();
}

bool WpeEngine::admitConsole() {
    return !m_notices || m_console.admit(*m_notices);
}

} // namespace KEL
