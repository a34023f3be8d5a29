#pragma once
// Where the network layer keeps its files. The cookie store and the disk cache hold session
// tokens, so their directories are private to the user (0700), whatever umask the host gave.

#include <QString>

namespace KEL {

// The per-user cache directory of the application (follows XDG_CACHE_HOME).
QString diskCacheDirectory();
// The directory of "cookies.ini": the application's per-user data directory, or
// ~/.<application name> when the platform gives no data location.
QString cookieStoreDirectory();
QString cookieStoreDirectory(const QString &dataLocation);
// Creates `path` with any missing parents and makes it 0700. False when it does not exist
// afterwards.
bool makePrivateDirectory(const QString &path);

} // namespace KEL
