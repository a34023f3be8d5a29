#pragma once
// The cookie jar of all views. Accepting, matching and sending cookies is the library's own
// behaviour; this class adds the cookie store file, "cookies.ini" in the per-user data
// directory: read once at start-up, written on SVCK and CLCK, and also within a second of every
// change and at a clean exit, so a browser that crashes or is told to EXIT loses at most the
// last second. Only persistent cookies that have not expired are written. GUI thread only.

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QTimer>

namespace KEL {

class NetworkCookieJar : public QNetworkCookieJar {
    Q_OBJECT
  public:
    explicit NetworkCookieJar(QObject *parent = nullptr);

    // Start-up: replaces the jar's cookies with the stored ones, expired ones included (the
    // next save drops them). A missing or unreadable store loads as empty. Runs once.
    void loadCookies();
    // SVCK: drops expired cookies, then writes the persistent ones. Does nothing before
    // loadCookies, so a store is never overwritten by a jar that has not read it.
    void saveCookies();
    // CLCK: drops every cookie and writes the empty list.
    void clearCookies();
    // Drops persistent cookies whose expiry has passed; session cookies stay.
    void expireCookies();

    bool isLoaded() const { return m_loaded; }

    // Every cookie the network layer or page script adds, replaces or removes passes here.
    bool insertCookie(const QNetworkCookie &cookie) override;
    bool deleteCookie(const QNetworkCookie &cookie) override;

  signals:
    // After loading, after clearing, and after expiring removed at least one cookie.
    void cookiesChanged();

  private:
    // One save a second at most, however fast pages change cookies.
    void scheduleSave();
    void savePending();

    bool m_loaded = false;
    QTimer m_saveTimer;
};

// The path of the cookie store file.
QString cookieStorePath();
// Registers "QList<QNetworkCookie>" and its stream operators (the stored form is that of
// CookieStream.h). Idempotent; anything reading the store through QSettings calls it first.
void registerCookieListType();

} // namespace KEL
