#include "network/NetworkAccessManager.h"

#include "network/NetworkCookieJar.h"
#include "network/NetworkStorage.h"

#include <QAuthenticator>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QUrl>

namespace KEL {

NetworkAccessManager::NetworkAccessManager(QObject *parent) : QNetworkAccessManager(parent) {
    auto *cache = new QNetworkDiskCache(this);
    const QString directory = diskCacheDirectory();
    makePrivateDirectory(directory);
    cache->setCacheDirectory(directory);
    setCache(cache);
}

namespace {

// A reply that fails as soon as the event loop runs, the way a refused file read fails.
class RefusedReply : public QNetworkReply {
  public:
    RefusedReply(QNetworkAccessManager::Operation op, const QNetworkRequest &request,
                 QObject *parent)
        : QNetworkReply(parent) {
        setRequest(request);
        setUrl(request.url());
        setOperation(op);
        setOpenMode(QIODevice::ReadOnly);
        setError(ContentAccessDenied, QStringLiteral("Access to this address is not allowed"));
        QMetaObject::invokeMethod(
            this,
            [this] {
                emit errorOccurred(ContentAccessDenied);
                emit finished();
            },
            Qt::QueuedConnection);
        setFinished(true);
    }
    void abort() override {}
    qint64 bytesAvailable() const override { return 0; }

  protected:
    qint64 readData(char *, qint64) override { return -1; }
};

} // namespace

QNetworkReply *NetworkAccessManager::createRequest(Operation op, const QNetworkRequest &request,
                                                   QIODevice *outgoingData) {
    if (m_filter && !m_filter(request))
        return new RefusedReply(op, request, this);
    QNetworkRequest pipelined(request);
    pipelined.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, true);
    return QNetworkAccessManager::createRequest(op, pipelined, outgoingData);
}

void NetworkAccessManager::setAuthentication(const QString &userName, const QString &password) {
    m_userName = userName;
    m_password = password;
    connect(this, &QNetworkAccessManager::authenticationRequired, this,
            &NetworkAccessManager::provideAuthentication, Qt::UniqueConnection);
}

void NetworkAccessManager::setProxyAuthentication(const QString &userName,
                                                  const QString &password) {
    m_userName = userName;
    m_password = password;
    connect(this, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &NetworkAccessManager::proxyAuthenticationRequired, Qt::UniqueConnection);
}

void NetworkAccessManager::trustServer(const QUrl &address) {
    const QString host = address.host().toLower();
    if (!host.isEmpty())
        m_trustedHosts.insert(host);
}

bool NetworkAccessManager::isTrustedServer(const QString &host) const {
    return !host.isEmpty() && m_trustedHosts.contains(host.toLower());
}

// An authenticator left untouched makes the library finish the request without credentials,
// so the page sees the server's refusal.
void NetworkAccessManager::provideAuthentication(QNetworkReply *reply, QAuthenticator *auth) {
    if (!auth || !reply || !isTrustedServer(reply->url().host()))
        return;
    offerCredentials(auth);
}

void NetworkAccessManager::proxyAuthenticationRequired(const QNetworkProxy &proxy,
                                                       QAuthenticator *auth) {
    const QNetworkProxy installed = QNetworkProxy::applicationProxy();
    if (!auth || installed.type() != QNetworkProxy::Socks5Proxy ||
        proxy.hostName().compare(installed.hostName(), Qt::CaseInsensitive) != 0 ||
        proxy.port() != installed.port())
        return;
    offerCredentials(auth);
}

void NetworkAccessManager::offerCredentials(QAuthenticator *auth) const {
    auth->setUser(m_userName);
    auth->setPassword(m_password);
}

NetworkCookieJar *NetworkAccessManager::networkCookieJar() const {
    return qobject_cast<NetworkCookieJar *>(cookieJar());
}

NetworkAccessManager *sharedNetworkAccessManager() {
    static NetworkAccessManager *manager = [] {
        auto *created = new NetworkAccessManager();
        // setCookieJar hands the jar to the manager.
        created->setCookieJar(new NetworkCookieJar());
        return created;
    }();
    return manager;
}

} // namespace KEL
