#pragma once
// The WPE WebKit engine: pages run in the engine's own web and network processes; this process
// holds the views, takes their frames from the view backend's shared-memory buffers and talks
// to pages through script channels. Its GLib sources run under Qt's event loop, which is GLib's
// on this platform. GUI thread only.

#include "core/Engine.h"
#include "view/ConsoleRate.h"
#include "view/PageTrust.h"

#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <set>

typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitWebsiteDataManager WebKitWebsiteDataManager;

namespace KEL {

class WpeGuards;
class WpeView;

class WpeEngine : public Engine {
  public:
    WpeEngine();
    ~WpeEngine() override;

    const char *name() const override { return "wpe"; }
    QString version() const override;
    bool startUp(NoticeSink &notices) override;
    void shutDown() override;
    std::unique_ptr<EngineView> createView(const QString &name, bool partialUpdates,
                                           NoticeSink &notices, ViewHost *host, EngineView *opener,
                                           int32_t popupIndex) override;
    void saveCookies() override;
    void clearCookies() override;
    void setProxy(const QString &host, uint16_t port, const QString &userName,
                  const QString &password) override;
    void setAuthentication(const QString &userName, const QString &password) override;
    void trustServer(const QUrl &url) override;
    void addObject(const QString &name, const QString &origins) override;
    void setObjectProperty(const QString &object, const QString &property,
                           const QString &value) override;

    bool setFrameRate(EngineView &view, int32_t rate, int32_t scalePercent) override;
    bool paintFrameNow(EngineView &view) override;
    void frameTick() override;

    WebKitWebContext *context() const { return m_context; }
    // Channel names of this process: random, so that no page can guess them.
    const QString &bridgeChannel() const { return m_bridgeChannel; }
    const QString &consoleChannel() const { return m_consoleChannel; }
    const QString &updaterName() const { return m_updaterName; }

    // The bridge script for a view's next documents (see bridgeScript).
    QString bridgeScriptFor(bool hostDocument) const;
    // Whether a page at `document` may call `object`: the host trusts it, or the object's own
    // list names it.
    bool objectAllowed(const QString &object, const QUrl &document, bool trusted) const;
    // Whether an untrusted page at `document` gets every object all the same.
    bool allObjectsAllowed(const QUrl &document) const;
    // The name INVK reports for `object`.
    QString reportedName(const QString &object) const;
    // The host loaded a new address: every view's next documents see the new trust.
    void hostTrustChanged();
    // False when a console line must be dropped: pages together are over the console rate.
    // Drops are counted and told to the host in one JLOG, at most once a second.
    bool admitConsole();
    // Whether console messages come from the engine itself (the page extension is there), or
    // from a script in the page that wraps the console.
    bool consoleFromEngine() const { return m_consoleFromEngine; }

    // AUTH credentials for a server, when the host loaded a page from its host name.
    bool credentialsFor(const QString &host, QString *userName, QString *password) const;
    bool proxyCredentials(QString *userName, QString *password) const;

  private:
    struct BridgeObject {
        OriginList allowed;
        QMap<QString, QString> properties;
        QString reportedName;
    };
    // Keeps the engine's processes alive until the disk cache has written what the last loads
    // brought (see shutDown).
    void letCacheWritesLand();

    WebKitWebsiteDataManager *m_data = nullptr;
    WebKitWebContext *m_context = nullptr;
    QString m_bridgeChannel;
    QString m_consoleChannel;
    QString m_updaterName;
    QMap<QString, BridgeObject> m_objects;
    std::set<QString> m_trustedServers; // host names
    QString m_authUser;
    QString m_authPassword;
    QString m_proxyUser;
    QString m_proxyPassword;
    std::set<WpeView *> m_views;
    NoticeSink *m_notices = nullptr;
    ConsoleRate m_console;       // for all pages together
    QElapsedTimer m_lastLoadEnd; // of any view, for letCacheWritesLand
    std::unique_ptr<WpeGuards> m_guards;
    bool m_consoleFromEngine = false;
    bool m_sharedPageProcess = false;
    uint64_t m_viewsMade = 0;
    friend class WpeView;
};

} // namespace KEL
