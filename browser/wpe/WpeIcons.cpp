// GLib's headers come before Qt's: Qt's keyword macros would rewrite their field names.
#include <wpe/webkit.h>

#include "wpe/WpeIcons.h"

#include "network/NetworkStorage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace KEL {

namespace {

// An icon larger than this is not an icon: its download is stopped.
constexpr guint64 kMaxIconBytes = 1 << 20;

// The first <link rel="icon"> (any rel list naming "icon", as "shortcut icon"), else the
// server's own icon for a served page.
const char *const kIconAddressScript = R"JS((function () {
  var links = document.querySelectorAll('link[rel]');
  for (var i = 0; i < links.length; ++i)
    if (/(^|\s)icon(\s|$)/i.test(links[i].rel) && links[i].href) return String(links[i].href);
  return /^https?:$/.test(location.protocol) ? location.origin + '/favicon.ico' : '';
})())JS";

QString &iconFolder() {
    static QString folder;
    return folder;
}

WpeIconFetch *self(gpointer data) {
    return static_cast<WpeIconFetch *>(data);
}

void onAddress(GObject *source, GAsyncResult *result, gpointer data) {
    GError *error = nullptr;
    WebKitJavascriptResult *value =
        webkit_web_view_run_javascript_in_world_finish(WEBKIT_WEB_VIEW(source), result, &error);
    const bool gone = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error)
        g_error_free(error);
    QString address;
    if (value) {
        JSCValue *js = webkit_javascript_result_get_js_value(value);
        if (js && jsc_value_is_string(js)) {
            char *text = jsc_value_to_string(js);
            address = QString::fromUtf8(text);
            g_free(text);
        }
        webkit_javascript_result_unref(value);
    }
    if (!gone)
        self(data)->addressFound(address);
}

gboolean onDecideDestination(WebKitDownload *download, gchar *, gpointer data) {
    return self(data)->chooseDestination(download);
}

void onReceived(WebKitDownload *download, guint64, gpointer data) {
    self(data)->received(download);
}

void onFailed(WebKitDownload *, GError *, gpointer data) {
    self(data)->failed();
}

void onFinished(WebKitDownload *download, gpointer data) {
    self(data)->finished(download);
}

} // namespace

WpeIconFetch::WpeIconFetch(WebKitWebView *view, const char *viewWorld,
                           std::function<void(const QImage &)> found)
    : m_view(view), m_world(viewWorld), m_found(std::move(found)),
      m_cancellable(g_cancellable_new()) {}

WpeIconFetch::~WpeIconFetch() {
    g_cancellable_cancel(m_cancellable);
    g_object_unref(m_cancellable);
    dropDownload(true);
}

void WpeIconFetch::setFolder(const QString &folder) {
    iconFolder() = QDir::cleanPath(folder);
    makePrivateDirectory(iconFolder());
}

bool WpeIconFetch::iconAllowed(const QUrl &page, const QUrl &icon) {
    const QString scheme = icon.scheme().toLower();
    if (scheme == QLatin1String("file"))
        return page.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0;
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
           scheme == QLatin1String("data");
}

void WpeIconFetch::pageLoaded() {
    webkit_web_view_run_javascript_in_world(m_view, kIconAddressScript, m_world, m_cancellable,
                                            onAddress, this);
}

void WpeIconFetch::addressFound(const QString &address) {
    const QUrl icon(address);
    const QUrl page(QString::fromUtf8(webkit_web_view_get_uri(m_view)));
    if (address.isEmpty() || !icon.isValid() || !iconAllowed(page, icon))
        return;
    fetch(icon);
}

void WpeIconFetch::fetch(const QUrl &icon) {
    // A page that loads again before its icon came gets the newer page's icon only.
    dropDownload(true);
    // Each download is removed as soon as it is read.
    const QString &folder = iconFolder();
    if (!makePrivateDirectory(folder))
        return;
    static unsigned serial = 0;
    m_file = folder +
             QStringLiteral("/fetch-%1-%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    m_failed = false;
    m_download = webkit_web_view_download_uri(
        m_view, icon.toString(QUrl::FullyEncoded).toUtf8().constData());
    if (!m_download)
        return;
    g_signal_connect(m_download, "decide-destination", G_CALLBACK(onDecideDestination), this);
    g_signal_connect(m_download, "received-data", G_CALLBACK(onReceived), this);
    g_signal_connect(m_download, "failed", G_CALLBACK(onFailed), this);
    g_signal_connect(m_download, "finished", G_CALLBACK(onFinished), this);
}

bool WpeIconFetch::chooseDestination(WebKitDownload *download) {
    webkit_download_set_allow_overwrite(download, TRUE);
    webkit_download_set_destination(
        download, QUrl::fromLocalFile(m_file).toString(QUrl::FullyEncoded).toUtf8().constData());
    return true;
}

void WpeIconFetch::received(WebKitDownload *download) {
    if (webkit_download_get_received_data_length(download) > kMaxIconBytes)
        webkit_download_cancel(download);
}

void WpeIconFetch::failed() {
    m_failed = true;
}

void WpeIconFetch::finished(WebKitDownload *download) {
    WebKitURIResponse *response = webkit_download_get_response(download);
    const guint status = response ? webkit_uri_response_get_status_code(response) : 0;
    // Data and file addresses have no status; an HTTP error page is not an icon.
    const bool ok = !m_failed && (status == 0 || (status >= 200 && status < 300));
    QImage picture;
    QFile file(m_file);
    if (ok && file.open(QIODevice::ReadOnly) && file.size() <= qint64(kMaxIconBytes))
        picture = QImage::fromData(file.readAll());
    dropDownload(false);
    if (!picture.isNull())
        m_found(picture);
}

void WpeIconFetch::dropDownload(bool cancel) {
    if (m_download) {
        g_signal_handlers_disconnect_by_data(m_download, this);
        if (cancel)
            webkit_download_cancel(m_download);
        g_object_unref(m_download);
        m_download = nullptr;
    }
    if (!m_file.isEmpty()) {
        QFile::remove(m_file);
        m_file.clear();
    }
}

} // namespace KEL
