#pragma once
// The cookie jar of all views. Accepting and sending cookies is the library's own behaviour;
// persistence (the cookie store file) plugs into loadCookies / saveCookies / clearCookies.

#include <QNetworkCookieJar>

namespace KEL {

class NetworkCookieJar : public QNetworkCookieJar {
    Q_OBJECT
  public:
    explicit NetworkCookieJar(QObject *parent = nullptr);

    // Start-up: read the cookie store. Not persisted yet: the store file comes with a later
    // change.
    void loadCookies();
    // SVCK: write the cookie store. Not persisted yet.
    void saveCookies();
    // CLCK: drop every cookie in memory (the stored file follows with persistence).
    void clearCookies();

  signals:
    void cookiesChanged();
};

} // namespace KEL
