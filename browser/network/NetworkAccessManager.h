#pragma once
// The one network access manager of the browser process: every page of every view loads
// through it, so all views share one cookie jar (and, later, one disk cache and one set of
// credentials).

#include <QNetworkAccessManager>
#include <QString>

namespace KEL {

class NetworkCookieJar;

class NetworkAccessManager : public QNetworkAccessManager {
    Q_OBJECT
  public:
    explicit NetworkAccessManager(QObject *parent = nullptr);

    // The credentials offered to server authentication requests (host command AUTH). Stored
    // now; answering authenticators plugs in with the authentication slots.
    void setAuthentication(const QString &userName, const QString &password);

    NetworkCookieJar *networkCookieJar() const;

  private:
    QString m_userName;
    QString m_password;
};

// The process-wide manager, made on first use together with its cookie jar. GUI thread only.
// Never deleted: it lives until the process ends.
NetworkAccessManager *sharedNetworkAccessManager();

} // namespace KEL
