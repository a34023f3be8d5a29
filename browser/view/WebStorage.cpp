#include "view/WebStorage.h"

#include "network/NetworkStorage.h"

#include <QWebSettings>

namespace KEL {

void setUpWebStorage() {
    // The data folder by the cookie store's rule, so both follow XDG_DATA_HOME alike.
    const QString root = cookieStoreDirectory();
    const QString databases = root + QStringLiteral("/Databases");
    const QString local = root + QStringLiteral("/LocalStorage");
    const QString applicationCache = root + QStringLiteral("/ApplicationCache");
    for (const QString &folder : {root, databases, local, applicationCache})
        makePrivateDirectory(folder);

    QWebSettings *settings = QWebSettings::globalSettings();
    QWebSettings::setOfflineStoragePath(databases);
    QWebSettings::setOfflineWebApplicationCachePath(applicationCache);
    settings->setLocalStoragePath(local);
    settings->setAttribute(QWebSettings::LocalStorageEnabled, true);
    settings->setAttribute(QWebSettings::OfflineStorageDatabaseEnabled, true);
}

} // namespace KEL
