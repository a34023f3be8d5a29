#include "network/NetworkAccessManager.h"

#include "network/NetworkCookieJar.h"

namespace KEL {

NetworkAccessManager::NetworkAccessManager(QObject *parent) : QNetworkAccessManager(parent) {}

void NetworkAccessManager::setAuthentication(const QString &userName, const QString &password) {
    m_userName = userName;
    m_password = password;
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
