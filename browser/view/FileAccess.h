#pragma once
// What a page shown from a file may read of the player's files.
//
// The engine treats every file address as one origin, so a file page could read any file the
// player can (an XMLHttpRequest for a key file, a local picture drawn into a canvas) and send
// it anywhere. Here a file is read for a page only from the folder of that page's document (or
// below it), from the folders of file pages the host loaded itself, or from folders the host
// named in KEL_FILE_ROOTS (paths separated by ':', or "*" for any file). Navigations follow
// the same rule, since a page that keeps a window on the new document (a popup's opener, a
// frame's parent) could read it; only the host's own LOAD may show any file.

#include <QString>
#include <QStringList>

class QNetworkRequest;
class QUrl;
class QWebFrame;

namespace KEL {

// The request filter for the network access manager: false refuses the request.
bool fileRequestAllowed(const QNetworkRequest &request);
// The same rule for a navigation of `frame` to `url`, refused before it starts so the page
// stays; logs a refusal.
bool fileNavigationAllowed(QWebFrame *frame, const QUrl &url);

// The folders of KEL_FILE_ROOTS as read at start-up ("*" for any).
void setExtraFileRoots(const QString &rootList);

} // namespace KEL
