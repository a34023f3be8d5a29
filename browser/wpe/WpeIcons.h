#pragma once
// A page's icon on the WPE engine, which keeps icons to itself: once a page has loaded, the
// view's own script world names the icon the document links to (else, for a served page, the
// server's /favicon.ico), and the engine fetches it as a download, so the view's proxy and
// cookies hold as for the page itself. GUI thread only.

#include <QImage>
#include <QString>
#include <QUrl>

#include <functional>

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitDownload WebKitDownload;
typedef struct _GCancellable GCancellable;

namespace KEL {

class WpeIconFetch {
  public:
    // `found` gets each icon picture fetched (the caller drops repeats).
    WpeIconFetch(WebKitWebView *view, const char *viewWorld,
                 std::function<void(const QImage &)> found);
    ~WpeIconFetch();
    WpeIconFetch(const WpeIconFetch &) = delete;
    WpeIconFetch &operator=(const WpeIconFetch &) = delete;

    // Where downloaded icons land until they are read: the icon folder of the per-user data
    // location. Set before the first view.
    static void setFolder(const QString &folder);

    // The main frame finished loading: its icon is looked up and fetched.
    void pageLoaded();

    // Whether a page at `page` may have its icon read from `icon`: only pages read from files
    // take icons from files, and only web and data addresses otherwise.
    static bool iconAllowed(const QUrl &page, const QUrl &icon);

    // Engine callbacks (static trampolines in the .cpp call these).
    void addressFound(const QString &address);
    bool chooseDestination(WebKitDownload *download);
    void received(WebKitDownload *download);
    void failed();
    void finished(WebKitDownload *download);

  private:
    void fetch(const QUrl &icon);
    // Forgets the running download (stopping it when `cancel`) and removes its file.
    void dropDownload(bool cancel);

    WebKitWebView *m_view;
    const char *m_world;
    std::function<void(const QImage &)> m_found;
    GCancellable *m_cancellable;
    WebKitDownload *m_download = nullptr;
    QString m_file; // where the running download writes
    bool m_failed = false;
};

} // namespace KEL
