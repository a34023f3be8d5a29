#include "view/PageTrust.h"

#include <QDir>

namespace KEL {

namespace {

bool isNetworkScheme(const QString &scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
           scheme == QLatin1String("ws") || scheme == QLatin1String("wss") ||
           scheme == QLatin1String("ftp");
}

int defaultPort(const QString &scheme) {
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        return 443;
    if (scheme == QLatin1String("ftp"))
        return 21;
    return 80;
}

QString folderOf(const QString &path, bool pathIsFolder) {
    QString clean = QDir::cleanPath(path.isEmpty() ? QStringLiteral("/") : path);
    if (!pathIsFolder) {
        const int slash = clean.lastIndexOf(QLatin1Char('/'));
        clean = slash <= 0 ? QStringLiteral("/") : clean.left(slash);
    }
    if (!clean.endsWith(QLatin1Char('/')))
        clean += QLatin1Char('/');
    return clean;
}

QString originOf(const QUrl &url, bool pathIsFolder) {
    if (!url.isValid())
        return QString();
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("file"))
        return QStringLiteral("file://") + folderOf(url.path(), pathIsFolder);
    if (!isNetworkScheme(scheme) || url.host().isEmpty())
        return QString();
    return scheme + QStringLiteral("://") + url.host().toLower() + QLatin1Char(':') +
           QString::number(url.port(defaultPort(scheme)));
}

} // namespace

QString originOf(const QUrl &url) {
    return originOf(url, false);
}

QString folderOriginOf(const QUrl &folder) {
    return originOf(folder, true);
}

OriginList OriginList::parse(const QString &text) {
    OriginList list;
    for (const QString &entry : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (entry == QLatin1String("*")) {
            list.m_any = true;
            continue;
        }
        // A file entry names a folder, with or without its closing slash.
        const QString origin = originOf(QUrl(entry), true);
        if (!origin.isEmpty())
            list.m_origins.insert(origin);
    }
    return list;
}

bool OriginList::matches(const QUrl &document) const {
    if (m_any)
        return true;
    const QString origin = originOf(document);
    if (origin.isEmpty())
        return false;
    if (!origin.startsWith(QLatin1String("file://")))
        return m_origins.count(origin) != 0;
    // A trusted folder covers the folders below it.
    for (const QString &trusted : m_origins)
        if (trusted.startsWith(QLatin1String("file://")) && origin.startsWith(trusted))
            return true;
    return false;
}

void OriginList::add(const QUrl &url) {
    const QString origin = originOf(url);
    if (!origin.isEmpty())
        m_origins.insert(origin);
}

void OriginList::insert(const QString &origin) {
    if (!origin.isEmpty())
        m_origins.insert(origin);
}

OriginList &hostLoadedOrigins() {
    static OriginList origins;
    return origins;
}

} // namespace KEL
