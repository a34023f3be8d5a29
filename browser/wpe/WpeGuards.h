#pragma once
// The browser's side of the page guards on the WPE engine. The guards themselves run in the
// engine's web processes (extension/PageGuardExtension.cpp): there, every frame gets bounded
// WebSocket and Worker constructors before its own script runs, frames of a foreign origin are
// sandboxed so they cannot navigate the top page, and a file page reads only its own folder,
// the folders of file pages the host loaded and those named in KEL_FILE_ROOTS. This side hands
// them their bounds and folders, keeps the file through which the web processes count the
// browser's sockets together, and logs what they refused. GUI thread only.

#include <QSet>
#include <QString>
#include <QStringList>

typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _GVariant GVariant;
typedef struct _WebKitPolicyDecision WebKitPolicyDecision;
typedef int gboolean;
typedef void *gpointer;

class QUrl;

namespace KEL {

// Whether the engine can load the extension library at `path` into a page's process: it is
// there and its symbols resolve against the engine this process runs (a page's process runs the
// same libraries). Logs why not.
bool extensionLoads(const QString &path);

class WpeGuards {
  public:
    // Before the context's first web process. `runFolder` holds the count file (private, made
    // here); `extensionFolder` is where the extension was built.
    WpeGuards(WebKitWebContext *context, const QString &runFolder, const QString &extensionFolder);
    ~WpeGuards();
    WpeGuards(const WpeGuards &) = delete;
    WpeGuards &operator=(const WpeGuards &) = delete;

    // False when the extension is missing: pages then run without the guards (logged).
    bool active() const { return m_active; }
    // Every new view: its settings and its log lines.
    void watchView(WebKitWebView *view);
    // The host loaded an address: a file page's folder becomes readable for file pages.
    void hostLoadsChanged();

  private:
    GVariant *startData() const;
    bool fileNavigationAllowed(const QUrl &from, const QUrl &to) const;
    static gboolean decidePolicy(WebKitWebView *view, WebKitPolicyDecision *decision, int type,
                                 gpointer self);
    QStringList fileFolders() const;

    WebKitWebContext *m_context;
    QString m_countPath;
    int m_countFd = -1;
    bool m_active = false;
    bool m_anyFile = false;
    QStringList m_roots; // KEL_FILE_ROOTS
    QStringList m_sentFolders;
    QSet<QString> m_openedFiles; // file popups an opener may open, until their first load
};

// Workers one page may run at once.
constexpr int kWorkersPerPage = 16;

} // namespace KEL
