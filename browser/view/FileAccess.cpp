#include "view/FileAccess.h"

#include "view/PageTrust.h"
#include "view/WebPage.h"

#include "Log.h"

#include <QNetworkRequest>
#include <QWebFrame>

namespace KEL {

namespace {

struct ExtraRoots {
    bool any = false;
    OriginList folders;
};

ExtraRoots &extraRoots() {
    static ExtraRoots roots;
    return roots;
}

// The document whose folder bounds what `frame` may read: the nearest frame up the tree that
// shows a file, or for a popup page the page that opened it.
QUrl boundingDocument(QWebFrame *frame) {
    for (QWebFrame *f = frame; f; f = f->parentFrame())
        if (f->url().isLocalFile())
            return f->url();
    if (auto *page = qobject_cast<WebPage *>(frame->page()))
        return page->openerUrl();
    return QUrl();
}

} // namespace

void setExtraFileRoots(const QString &rootList) {
    ExtraRoots &roots = extraRoots();
    roots = ExtraRoots();
    for (const QString &root : rootList.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (root == QLatin1String("*"))
            roots.any = true;
        else
            roots.folders.insert(folderOriginOf(QUrl::fromLocalFile(root)));
    }
}

bool fileNavigationAllowed(QWebFrame *frame, const QUrl &url) {
    if (!url.isLocalFile() || extraRoots().any || !frame)
        return true;
    auto *page = qobject_cast<WebPage *>(frame->page());
    if (page && frame == page->mainFrame() && page->isHostLoad(url))
        return true;
    const QUrl bound = boundingDocument(frame);
    if (bound.isLocalFile()) {
        OriginList own;
        own.insert(originOf(bound));
        if (own.matches(url))
            return true;
    }
    if (hostLoadedOrigins().matches(url) || extraRoots().folders.matches(url))
        return true;
    logMessage("Refused a page's read of a file outside its folder: " +
               url.toString(QUrl::RemoveQuery | QUrl::RemoveFragment).left(200).toStdString());
    return false;
}

bool fileRequestAllowed(const QNetworkRequest &request) {
    // The engine's own reads (no page asked) reach page script at no point.
    return fileNavigationAllowed(qobject_cast<QWebFrame *>(request.originatingObject()),
                                 request.url());
}

} // namespace KEL
