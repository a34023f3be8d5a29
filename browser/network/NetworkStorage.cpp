#include "network/NetworkStorage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace KEL {

QString diskCacheDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
}

QString cookieStoreDirectory() {
    return cookieStoreDirectory(QStandardPaths::writableLocation(QStandardPaths::DataLocation));
}

QString cookieStoreDirectory(const QString &dataLocation) {
    if (!dataLocation.isEmpty())
        return dataLocation;
    return QDir::homePath() + QStringLiteral("/.") + QCoreApplication::applicationName();
}

bool makePrivateDirectory(const QString &path) {
    if (path.isEmpty() || !QDir().mkpath(path))
        return false;
    // An existing directory (the icon database may have made it first) is tightened too.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}

} // namespace KEL
