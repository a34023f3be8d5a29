// GLib's headers come before Qt's: Qt's keyword macros would rewrite their field names.
#include <wpe/webkit.h>

#include "wpe/WpeGuards.h"
#include "wpe/extension/SharedCount.h"

#include "Log.h"
#include "network/NetworkStorage.h"
#include "view/PageGuards.h"
#include "view/PageTrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace KEL {

namespace {

const char kExtensionFile[] = "libkel-wpe-guards.so";

bool lockByte(int fd, off_t at) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = at;
    range.l_len = 1;
    return fcntl(fd, F_SETLK, &range) == 0;
}

// Count files of browsers that have ended (nobody holds their first byte).
void removeLeftovers(const QString &folder) {
    for (const QFileInfo &file :
         QDir(folder).entryInfoList({QStringLiteral("sockets-*")}, QDir::Files)) {
        const int fd = ::open(QFile::encodeName(file.filePath()).constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (lockByte(fd, 0))
            QFile::remove(file.filePath());
        ::close(fd);
    }
}

QString folderWithSlash(const QString &path) {
    QString folder = QDir::cleanPath(path);
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

gboolean onViewMessage(WebKitWebView *, WebKitUserMessage *message, gpointer) {
    if (g_strcmp0(webkit_user_message_get_name(message), "kel-guard-log") != 0)
        return FALSE;
    GVariant *text = webkit_user_message_get_parameters(message);
    if (text && g_variant_is_of_type(text, G_VARIANT_TYPE_STRING))
        logMessage(std::string(g_variant_get_string(text, nullptr)).substr(0, 300));
    return TRUE;
}

} // namespace

// The engine's web process may show the new document in a process of its own, where the
// extension no longer knows which page asked, so file navigations are held to the same rule
// here, before they start: the page stays. The host's own loads pass, since their folders are
// host-loaded by then.
bool WpeGuards::fileNavigationAllowed(const QUrl &from, const QUrl &to) const {
    if (!to.isLocalFile() || m_anyFile)
        return true;
    const QString wanted = QDir::cleanPath(to.toLocalFile());
    QStringList folders = fileFolders();
    if (from.isLocalFile())
        folders << QFileInfo(QDir::cleanPath(from.toLocalFile())).path() + QLatin1Char('/');
    for (const QString &folder : folders)
        if (wanted.startsWith(folder))
            return true;
    logMessage("Refused a page's read of a file outside its folder: " +
               to.toString(QUrl::RemoveQuery | QUrl::RemoveFragment).left(200).toStdString());
    return false;
}

gboolean WpeGuards::decidePolicy(WebKitWebView *view, WebKitPolicyDecision *decision, int type,
                                 gpointer self) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        return FALSE;
    WebKitNavigationAction *action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const QUrl to(QString::fromUtf8(
        webkit_uri_request_get_uri(webkit_navigation_action_get_request(action))));
    const QUrl from(QString::fromUtf8(webkit_web_view_get_uri(view)));
    auto *guards = static_cast<WpeGuards *>(self);
    // A popup's first document was decided by its opener; the new view knows no page yet (a
    // view that shows a page gets no such pass, if the popup was never made).
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && from.isEmpty() &&
        guards->m_openedFiles.remove(to.toString()))
        return FALSE;
    if (guards->fileNavigationAllowed(from, to)) {
        if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION && to.isLocalFile())
            guards->m_openedFiles.insert(to.toString());
        return FALSE;
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

bool extensionLoads(const QString &path) {
    if (!QFileInfo::exists(path))
        return false;
    void *library = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = dlerror();
        logMessage("Cannot load " + path.toStdString() + ": " + (why ? why : "unknown"));
        return false;
    }
    dlclose(library);
    return true;
}

WpeGuards::WpeGuards(WebKitWebContext *context, const QString &runFolder,
                     const QString &extensionFolder)
    : m_context(context) {
    for (const QString &root :
         qEnvironmentVariable("KEL_FILE_ROOTS").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (root == QLatin1String("*"))
            m_anyFile = true;
        else
            m_roots << folderWithSlash(root);
    }
    if (!extensionLoads(extensionFolder + QLatin1Char('/') + QLatin1String(kExtensionFile))) {
        logMessage("Page guards missing (" + extensionFolder.toStdString() + "/" + kExtensionFile +
                   "): pages run without their bounds, file pages read no files");
        return;
    }
    makePrivateDirectory(runFolder);
    removeLeftovers(runFolder);
    // Made and locked under a name no other browser's clean-up looks at, then named: another
    // browser starting at the same moment must not take it for a leftover.
    const QString serial = QString::number(QRandomGenerator::system()->generate64(), 36);
    const QString making = runFolder + QStringLiteral("/making-") + serial;
    m_countPath = runFolder + QStringLiteral("/sockets-") + serial;
    m_countFd =
        ::open(QFile::encodeName(making).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_countFd < 0 || ftruncate(m_countFd, SharedCount::kFileSize) != 0 ||
        !lockByte(m_countFd, 0) ||
        ::rename(QFile::encodeName(making).constData(),
                 QFile::encodeName(m_countPath).constData()) != 0) {
        QFile::remove(making);
        logMessage("Cannot make the page guards' socket count: each page process counts alone");
    }
    const QByteArray extensions = QFile::encodeName(extensionFolder);
    webkit_web_context_set_web_extensions_directory(context, extensions.constData());
    // Where the engine confines its web processes, they must still reach the extensions and
    // the count file.
    webkit_web_context_add_path_to_sandbox(context, extensions.constData(), TRUE);
    // The count file alone, writable (the extension takes write locks on it): the folder holds
    // the counts of other browsers on the same data folder too.
    if (m_countFd >= 0)
        webkit_web_context_add_path_to_sandbox(context, QFile::encodeName(m_countPath).constData(),
                                               FALSE);
    g_signal_connect(context, "initialize-web-extensions",
                     G_CALLBACK(+[](WebKitWebContext *c, gpointer self) {
                         webkit_web_context_set_web_extensions_initialization_user_data(
                             c, static_cast<WpeGuards *>(self)->startData());
                     }),
                     this);
    m_active = true;
}

WpeGuards::~WpeGuards() {
    if (m_context)
        g_signal_handlers_disconnect_by_data(m_context, this);
    if (m_countFd >= 0) {
        QFile::remove(m_countPath);
        ::close(m_countFd);
    }
}

QStringList WpeGuards::fileFolders() const {
    QStringList folders = m_roots;
    for (const QString &origin : hostLoadedOrigins().origins())
        if (origin.startsWith(QLatin1String("file://")))
            folders << origin.mid(7);
    folders.removeDuplicates();
    return folders;
}

GVariant *WpeGuards::startData() const {
    GVariantBuilder folders;
    g_variant_builder_init(&folders, G_VARIANT_TYPE("as"));
    for (const QString &folder : fileFolders())
        g_variant_builder_add(&folders, "s", folder.toUtf8().constData());
    return g_variant_new("(sbasiii)", QFile::encodeName(m_countPath).constData(), m_anyFile,
                         &folders, GuardLimits::kSocketsPerPage, GuardLimits::kSocketsPerProcess,
                         kWorkersPerPage);
}

void WpeGuards::watchView(WebKitWebView *view) {
    // Without the extension nothing would hold file pages to their folders.
    webkit_settings_set_allow_file_access_from_file_urls(webkit_web_view_get_settings(view),
                                                         m_active);
    g_signal_connect(view, "user-message-received", G_CALLBACK(onViewMessage), nullptr);
    if (m_active)
        g_signal_connect(view, "decide-policy", G_CALLBACK(decidePolicy), this);
}

void WpeGuards::hostLoadsChanged() {
    if (!m_active)
        return;
    const QStringList folders = fileFolders();
    if (folders == m_sentFolders)
        return;
    m_sentFolders = folders;
    GVariantBuilder list;
    g_variant_builder_init(&list, G_VARIANT_TYPE("as"));
    for (const QString &folder : folders)
        g_variant_builder_add(&list, "s", folder.toUtf8().constData());
    webkit_web_context_send_message_to_all_extensions(
        m_context,
        webkit_user_message_new("kel-file-folders", g_variant_new("(bas)", m_anyFile, &list)));
}

} // namespace KEL
