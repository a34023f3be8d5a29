#include "network/NetworkCookieJar.h"

#include <QNetworkCookie>

namespace KEL {

NetworkCookieJar::NetworkCookieJar(QObject *parent) : QNetworkCookieJar(parent) {}

void NetworkCookieJar::loadCookies() {}

void NetworkCookieJar::saveCookies() {}

void NetworkCookieJar::clearCookies() {
    setAllCookies({});
    emit cookiesChanged();
}

} // namespace KEL
