#pragma once
// The one network access manager of the browser process: every page of every view (popups
// included) loads through it, so all views share one disk cache, one cookie jar, one set of
// credentials and the process-wide proxy. GUI thread only.

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSet>
#include <QString>

#include <functional>

class QAuthenticator;
class QUrl;

namespace KEL {

class NetworkCookieJar;

class NetworkAccessManager : public QNetworkAccessManager {
    Q_OBJECT
  public:
    // Installs a disk cache in the per-user cache directory (made 0700), with the cache's own
    // default size limit.
    explicit NetworkAccessManager(QObject *parent = nullptr);

    // AUTH: stores the one credential pair and answers server authentication with it.
    void setAuthentication(const QString &userName, const QString &password);
    // PRXY with a user name and a password: stores the same pair and answers proxy
    // authentication with it.
    void setProxyAuthentication(const QString &userName, const QString &password);

    // LOAD: the host itself asked for this address, so its host may receive the AUTH pair.
    // Only such hosts do: any page can make the engine fetch from anywhere, and a 401 from a
    // server the host never chose must not learn the host's user name and password. A
    // redirect to another host therefore loses the permission; one on the same host keeps it.
    void trustServer(const QUrl &address);
    bool isTrustedServer(const QString &host) const;

    NetworkCookieJar *networkCookieJar() const;

    // Asked before every request goes out; a request it refuses fails at once with
    // ContentAccessDenied, as a missing permission would. Null lets everything through.
    using RequestFilter = std::function<bool(const QNetworkRequest &)>;
    void setRequestFilter(RequestFilter filter) { m_filter = std::move(filter); }

  public slots:
    void provideAuthentication(QNetworkReply *reply, QAuthenticator *auth);
    // Answers only the proxy that PRXY installed.
    void proxyAuthenticationRequired(const QNetworkProxy &proxy, QAuthenticator *auth);

  protected:
    // Every request goes out with HTTP pipelining allowed, whatever the caller set.
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

  private:
    void offerCredentials(QAuthenticator *auth) const;

    QString m_userName;
    QString m_password;
    QSet<QString> m_trustedHosts; // lower-case host names from LOAD
    RequestFilter m_filter;
};

// The process-wide manager, made on first use together with its cookie jar. GUI thread only.
// Never deleted: it lives until the process ends.
NetworkAccessManager *sharedNetworkAccessManager();

} // namespace KEL
