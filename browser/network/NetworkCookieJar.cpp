#include "network/NetworkCookieJar.h"

#include "network/CookieStream.h"
#include "network/NetworkStorage.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDateTime>
#include <QFile>
#include <QIODevice>
#include <QMetaType>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KEL {

namespace {

const char kCookiesKey[] = "cookies";
constexpr int kSaveDelayMs = 1000;

void saveCookieList(QDataStream &stream, const void *value) {
    QList<QByteArray> entries;
    for (const QNetworkCookie &cookie : *static_cast<const QList<QNetworkCookie> *>(value))
        entries.append(cookie.toRawForm(QNetworkCookie::Full));
    const QByteArray bytes = writeCookieStream(entries);
    stream.writeRawData(bytes.constData(), bytes.size());
}

// The reader sees the rest of the settings layer's buffer and says how much of it the list
// took, so the stream stays positioned as if it had read field by field.
void loadCookieList(QDataStream &stream, void *value) {
    auto &cookies = *static_cast<QList<QNetworkCookie> *>(value);
    cookies.clear();
    QIODevice *device = stream.device();
    if (!device)
        return;
    const QByteArray rest = device->peek(device->bytesAvailable());
    const CookieStreamContents contents = readCookieStream(rest.constData(), rest.size());
    device->skip(contents.consumed);
    for (const QByteArray &entry : contents.entries) {
        const QList<QNetworkCookie> parsed = QNetworkCookie::parseCookies(entry);
        if (parsed.isEmpty())
            qWarning("NetworkCookieJar: Unable to parse saved cookie: %s", entry.constData());
        cookies.append(parsed);
    }
}

// QSettings replaces the file through a temporary file in the same directory (a crash mid-save
// leaves the old store), and that temporary file takes the permissions of the file it
// replaces. So the store is made 0600 before the first write and stays so.
void makePrivateFile(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

QList<QNetworkCookie> persistentOnly(QList<QNetworkCookie> cookies) {
    for (int i = cookies.size() - 1; i >= 0; --i) {
        if (cookies.at(i).isSessionCookie())
            cookies.removeAt(i);
    }
    return cookies;
}

} // namespace

QString cookieStorePath() {
    return cookieStoreDirectory() + QStringLiteral("/cookies.ini");
}

void registerCookieListType() {
    static const bool registered = [] {
        const int type = qRegisterMetaType<QList<QNetworkCookie>>("QList<QNetworkCookie>");
        QMetaType::registerStreamOperators(type, saveCookieList, loadCookieList);
        return true;
    }();
    (void)registered;
}

NetworkCookieJar::NetworkCookieJar(QObject *parent) : QNetworkCookieJar(parent) {
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(kSaveDelayMs);
    connect(&m_saveTimer, &QTimer::timeout, this, &NetworkCookieJar::saveCookies);
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &NetworkCookieJar::savePending);
}

bool NetworkCookieJar::insertCookie(const QNetworkCookie &cookie) {
    const bool inserted = QNetworkCookieJar::insertCookie(cookie);
    // Also when nothing was inserted: a cookie that arrives expired deletes its namesake.
    scheduleSave();
    return inserted;
}

bool NetworkCookieJar::deleteCookie(const QNetworkCookie &cookie) {
    const bool deleted = QNetworkCookieJar::deleteCookie(cookie);
    if (deleted)
        scheduleSave();
    return deleted;
}

// The timer is not restarted by later changes: under a steady stream of cookies the store is
// still written every second.
void NetworkCookieJar::scheduleSave() {
    if (m_loaded && !m_saveTimer.isActive())
        m_saveTimer.start();
}

void NetworkCookieJar::savePending() {
    if (m_saveTimer.isActive())
        saveCookies();
}

void NetworkCookieJar::loadCookies() {
    if (m_loaded)
        return;
    registerCookieListType();
    // Reading never creates the directory or the file.
    QList<QNetworkCookie> cookies;
    const QString path = cookieStorePath();
    if (QFile::exists(path)) {
        QSettings settings(path, QSettings::IniFormat);
        const QVariant value = settings.value(QLatin1String(kCookiesKey), QVariant());
        if (value.userType() == qMetaTypeId<QList<QNetworkCookie>>())
            cookies = value.value<QList<QNetworkCookie>>();
    }
    setAllCookies(cookies);
    m_loaded = true;
    emit cookiesChanged();
}

void NetworkCookieJar::saveCookies() {
    if (!m_loaded)
        return;
    m_saveTimer.stop();
    expireCookies();
    const QString directory = cookieStoreDirectory();
    makePrivateDirectory(directory);
    const QString path = directory + QStringLiteral("/cookies.ini");
    makePrivateFile(path);
    QSettings settings(path, QSettings::IniFormat);
    settings.setAtomicSyncRequired(true);
    settings.setValue(QLatin1String(kCookiesKey),
                      QVariant::fromValue(persistentOnly(allCookies())));
    settings.sync();
    // Losing the store silently would look like success to the host.
    if (settings.status() != QSettings::NoError)
        qWarning("NetworkCookieJar: Unable to save cookies to %s", qPrintable(path));
}

void NetworkCookieJar::clearCookies() {
    setAllCookies({});
    emit cookiesChanged();
    saveCookies();
}

void NetworkCookieJar::expireCookies() {
    QList<QNetworkCookie> cookies = allCookies();
    if (cookies.isEmpty())
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const int before = cookies.size();
    for (int i = cookies.size() - 1; i >= 0; --i) {
        const QNetworkCookie &cookie = cookies.at(i);
        if (!cookie.isSessionCookie() && cookie.expirationDate() < now)
            cookies.removeAt(i);
    }
    if (cookies.size() == before)
        return;
    setAllCookies(cookies);
    emit cookiesChanged();
}

} // namespace KEL
