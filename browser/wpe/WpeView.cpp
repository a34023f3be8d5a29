// GLib's headers come before Qt's: Qt's keyword macros would rewrite their field names.
#include <wayland-server.h>
#include <wpe/fdo.h>
#include <wpe/unstable/fdo-shm.h>
#include <wpe/webkit.h>

#include "wpe/WpeView.h"

#include "CommandCodes.h"
#include "Log.h"
#include "TextureBuffer.h"
#include "TextureSize.h"
#include "view/InputMapping.h"
#include "view/Notice.h"
#include "view/PageTrust.h"
#include "view/ScriptText.h"
#include "view/ViewHost.h"
#include "wpe/ConsoleRelay.h"
#include "wpe/WpeEngine.h"
#include "wpe/WpeErrorPage.h"
#include "wpe/WpeIcons.h"
#include "wpe/WpeKeys.h"
#include "wpe/WpeScripts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimer>
#include <QVariantList>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

namespace KEL {

namespace {

// A page is shown once it has loaded at least this much (percent).
constexpr int32_t kPaintProgress = 50;
// A script the host runs (EVJS) that has not ended by then is stopped with its page.
// Generous, since a heavy page on a busy machine may keep its script from answering for
// seconds without running away.
constexpr int kScriptBoundMs = 8000;
// How often a view asks its page whether its script still answers: each question wakes the
// page's process, so not more often than the script bound needs.
constexpr int kProbeMs = 2000;
// The longest a finished load's LDFN waits for the engine's picture of the finished page: a
// page that never gets to paint (its script busy, the host holding every frame) still ends
// its load.
constexpr qint64 kPaintedWaitMs = 3000;
// A texture-path view that has taken no picture for this long counts as idle.
constexpr qint64 kIdleAfterMs = 33;
// The most of a console line or its source that is read (a payload holds at most 1 MiB).
constexpr size_t kMaxConsoleBytes = 1 << 20;

uint32_t nowMs() {
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

QString fromUtf8(const char *text) {
    return text ? QString::fromUtf8(text) : QString();
}

QVariantMap messageOf(WebKitJavascriptResult *result) {
    JSCValue *value = webkit_javascript_result_get_js_value(result);
    if (!value || !jsc_value_is_object(value))
        return QVariantMap();
    char *json = jsc_value_to_json(value, 0);
    const QVariantMap map =
        json ? QJsonDocument::fromJson(QByteArray(json)).object().toVariantMap() : QVariantMap();
    g_free(json);
    return map;
}

// As the other engine hands a script's value over: text, numbers and booleans as text,
// anything else as nothing.
QString valueText(JSCValue *value) {
    if (!value)
        return QString();
    if (jsc_value_is_string(value)) {
        char *text = jsc_value_to_string(value);
        const QString result = fromUtf8(text);
        g_free(text);
        return result;
    }
    if (jsc_value_is_number(value))
        return QString::number(jsc_value_to_double(value), 'g', QLocale::FloatingPointShortest);
    if (jsc_value_is_boolean(value))
        return jsc_value_to_boolean(value) ? QStringLiteral("true") : QStringLiteral("false");
    return QString();
}

WpeView *self(gpointer data) {
    return static_cast<WpeView *>(data);
}

} // namespace

// What the view backend calls back into. It may outlive the view (the engine lets the backend
// go when it is done with it): buffers that arrive then go straight back.
struct WpeView::ExportTarget {
    WpeView *view = nullptr;
    wpe_view_backend_exportable_fdo *exportable = nullptr;
};

namespace {

void onExportShm(void *data, wpe_fdo_shm_exported_buffer *buffer) {
    auto *target = static_cast<WpeView::ExportTarget *>(data);
    if (target->view) {
        target->view->takeBuffer(buffer);
        return;
    }
    wpe_view_backend_exportable_fdo_dispatch_release_shm_exported_buffer(target->exportable,
                                                                         buffer);
    wpe_view_backend_exportable_fdo_dispatch_frame_complete(target->exportable);
}

const wpe_view_backend_exportable_fdo_client kExportClient = {nullptr, nullptr, onExportShm,
                                                              nullptr, nullptr};

void onLoadChanged(WebKitWebView *, WebKitLoadEvent event, gpointer data) {
    self(data)->loadChanged(int(event));
}

void onProgress(GObject *, GParamSpec *, gpointer data) {
    self(data)->progressChanged();
}

void onTitle(GObject *, GParamSpec *, gpointer data) {
    self(data)->titleChanged();
}

void onUri(GObject *, GParamSpec *, gpointer data) {
    self(data)->addressChanged();
}

void onAddressPhase(WebKitWebView *, WebKitLoadEvent event, gpointer data) {
    self(data)->addressLoadPhase(int(event));
}

void onLoading(GObject *, GParamSpec *, gpointer data) {
    self(data)->loadingChanged();
}

gboolean onLoadFailed(WebKitWebView *, WebKitLoadEvent, gchar *address, GError *error,
                      gpointer data) {
    // A load replaced by another, or a response that is not shown, is no failure to show.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        g_error_matches(error, WEBKIT_POLICY_ERROR,
                        WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
        g_error_matches(error, WEBKIT_PLUGIN_ERROR, WEBKIT_PLUGIN_ERROR_WILL_HANDLE_LOAD))
        return FALSE;
    self(data)->showErrorPage(fromUtf8(address), fromUtf8(error->message), error->code);
    return TRUE;
}

WebKitWebView *onCreate(WebKitWebView *, WebKitNavigationAction *, gpointer data) {
    return self(data)->createPopup();
}

void onClose(WebKitWebView *, gpointer data) {
    self(data)->closeRequested();
}

void onViewMessage(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer data) {
    self(data)->viewMessage(messageOf(result));
}

void onBridgeMessage(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer data) {
    self(data)->pageMessage(messageOf(result), true);
}

void onConsoleMessage(WebKitUserContentManager *, WebKitJavascriptResult *result, gpointer data) {
    self(data)->pageMessage(messageOf(result), false);
}

// Console messages as the engine itself saw them, from the page process's extension.
gboolean onUserMessage(WebKitWebView *, WebKitUserMessage *message, gpointer data) {
    if (g_strcmp0(webkit_user_message_get_name(message), kConsoleRelayMessage) != 0)
        return FALSE;
    GVariant *parameters = webkit_user_message_get_parameters(message);
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(kConsoleRelayType)))
        return TRUE;
    const char *text = nullptr;
    guint32 line = 0;
    const char *source = nullptr;
    g_variant_get(parameters, "(&su&s)", &text, &line, &source);
    // A line the console rate drops costs no decoding, and no line is decoded beyond what a
    // payload can carry: a page may log strings of any size.
    if (!self(data)->admitConsole())
        return TRUE;
    const auto decoded = [](const char *utf8) {
        return QString::fromUtf8(utf8, int(strnlen(utf8, kMaxConsoleBytes)));
    };
    self(data)->consoleLine(decoded(text), int32_t(std::min<guint32>(line, INT32_MAX)),
                            decoded(source));
    return TRUE;
}

// Nobody can answer a dialog of a windowless process: alerts are logged, confirmations and
// prompts declined, leaving a page allowed.
gboolean onScriptDialog(WebKitWebView *, WebKitScriptDialog *dialog, gpointer) {
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_ALERT:
        logMessage("Script alert: " +
                   fromUtf8(webkit_script_dialog_get_message(dialog)).left(200).toStdString());
        break;
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
        break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        break;
    }
    return TRUE;
}

// No menu can be shown: the page's own contextmenu handlers have run by now.
gboolean onContextMenu(WebKitWebView *, WebKitContextMenu *, WebKitHitTestResult *, gpointer) {
    return TRUE;
}

gboolean onFileChooser(WebKitWebView *, WebKitFileChooserRequest *request, gpointer) {
    webkit_file_chooser_request_cancel(request);
    return TRUE;
}

gboolean onPermission(WebKitWebView *, WebKitPermissionRequest *request, gpointer) {
    webkit_permission_request_deny(request);
    return TRUE;
}

gboolean onDecidePolicy(WebKitWebView *view, WebKitPolicyDecision *decision,
                        WebKitPolicyDecisionType type, gpointer data) {
    (void)data;
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
        // Nothing is ever downloaded: a response the engine cannot show is dropped.
        auto *response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
        if (!webkit_response_policy_decision_is_mime_type_supported(response)) {
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
        return FALSE;
    }
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        // While popups are off, a new window's address loads in this view instead.
        auto *navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
        WpeView *owner = self(data);
        if (!owner->createPopupAllowed()) {
            WebKitNavigationAction *action =
                webkit_navigation_policy_decision_get_navigation_action(navigation);
            owner->startLoad([view, action] {
                webkit_web_view_load_request(view, webkit_navigation_action_get_request(action));
            });
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
    }
    return FALSE;
}

gboolean onAuthenticate(WebKitWebView *, WebKitAuthenticationRequest *request, gpointer data) {
    self(data)->authenticate(request);
    return TRUE;
}

void onWebProcessTerminated(WebKitWebView *, WebKitWebProcessTerminationReason reason,
                            gpointer data) {
    self(data)->webProcessEnded(reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed"
                                : reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                                    ? "used too much memory"
                                    : "ran a script for too long");
}

} // namespace

WpeView::WpeView(WpeEngine &engine, const QString &name, bool partialUpdates, NoticeSink &notices,
                 ViewHost *host, WpeView *sharesProcessWith, int32_t popupIndex)
    : m_engine(engine), m_name(name), m_notices(notices, name), m_host(host),
      m_popupIndex(popupIndex), m_created(++engine.m_viewsMade), m_frames(partialUpdates) {
    m_target = new ExportTarget{this, nullptr};
    m_exportable = wpe_view_backend_exportable_fdo_create(&kExportClient, m_target, 1, 1);
    m_target->exportable = m_exportable;
    wpe_view_backend *backend = wpe_view_backend_exportable_fdo_get_view_backend(m_exportable);
    // The engine owns the backend from here on and lets it go when the view is gone for good,
    // which may be after this object.
    WebKitWebViewBackend *viewBackend = webkit_web_view_backend_new(
        backend,
        [](gpointer data) {
            auto *target = static_cast<ExportTarget *>(data);
            wpe_view_backend_exportable_fdo_destroy(target->exportable);
            delete target;
        },
        m_target);
    m_cancellable = g_cancellable_new();

    m_content = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler_in_world(m_content, kWpeViewChannel,
                                                                         kWpeViewWorld);
    const QByteArray bridge = engine.bridgeChannel().toUtf8();
    const QByteArray console = engine.consoleChannel().toUtf8();
    webkit_user_content_manager_register_script_message_handler(m_content, bridge.constData());
    webkit_user_content_manager_register_script_message_handler(m_content, console.constData());
    g_signal_connect(m_content,
                     (QByteArray("script-message-received::") + kWpeViewChannel).constData(),
                     G_CALLBACK(onViewMessage), this);
    g_signal_connect(m_content, ("script-message-received::" + bridge).constData(),
                     G_CALLBACK(onBridgeMessage), this);
    g_signal_connect(m_content, ("script-message-received::" + console).constData(),
                     G_CALLBACK(onConsoleMessage), this);

    WebKitSettings *settings = webkit_settings_new();
    webkit_settings_set_enable_webgl(settings, TRUE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    // Without them the engine runs a script that is a single call with a literal argument
    // (`console.log('hi')`) without a frame of its own, and the console line has no line and
    // no source. Nothing else of them is reachable: no inspector is ever attached.
    webkit_settings_set_enable_developer_extras(settings, TRUE);
    webkit_settings_set_enable_write_console_messages_to_stdout(settings, FALSE);
    webkit_settings_set_allow_file_access_from_file_urls(settings, FALSE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
    webkit_settings_set_enable_html5_local_storage(settings, TRUE);
    webkit_settings_set_enable_html5_database(settings, TRUE);
    // A page restored from the back-forward cache would keep a window whose page guards
    // belong to the document it left, and could open no socket or worker any more.
    webkit_settings_set_enable_page_cache(settings, FALSE);

    if (sharesProcessWith)
        m_view =
            WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "backend", viewBackend,
                                         "related-view", sharesProcessWith->webView(), "settings",
                                         settings, "user-content-manager", m_content, nullptr));
    else
        m_view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "backend", viewBackend,
                                              "web-context", engine.context(), "settings", settings,
                                              "user-content-manager", m_content, nullptr));
    g_object_unref(settings);
    wpe_view_backend_add_activity_state(backend, wpe_view_activity_state_visible |
                                                     wpe_view_activity_state_focused |
                                                     wpe_view_activity_state_in_window);

    g_signal_connect(m_view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(m_view, "notify::estimated-load-progress", G_CALLBACK(onProgress), this);
    g_signal_connect(m_view, "notify::title", G_CALLBACK(onTitle), this);
    g_signal_connect(m_view, "notify::uri", G_CALLBACK(onUri), this);
    g_signal_connect(m_view, "load-changed", G_CALLBACK(onAddressPhase), this);
    g_signal_connect(m_view, "notify::is-loading", G_CALLBACK(onLoading), this);
    g_signal_connect(m_view, "load-failed", G_CALLBACK(onLoadFailed), this);
    m_icons = std::make_unique<WpeIconFetch>(m_view, kWpeViewWorld,
                                             [this](const QImage &icon) { m_notices.icon(icon); });
    g_signal_connect(m_view, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(m_view, "close", G_CALLBACK(onClose), this);
    g_signal_connect(m_view, "script-dialog", G_CALLBACK(onScriptDialog), this);
    g_signal_connect(m_view, "context-menu", G_CALLBACK(onContextMenu), this);
    g_signal_connect(m_view, "run-file-chooser", G_CALLBACK(onFileChooser), this);
    g_signal_connect(m_view, "permission-request", G_CALLBACK(onPermission), this);
    g_signal_connect(m_view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(m_view, "authenticate", G_CALLBACK(onAuthenticate), this);
    g_signal_connect(m_view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    g_signal_connect(m_view, "user-message-received", G_CALLBACK(onUserMessage), this);
    m_engine.m_views.insert(this);
    installScripts();
    m_addressDue.setSingleShot(true);
    m_addressDue.setInterval(0);
    QObject::connect(&m_addressDue, &QTimer::timeout, [this] {
        if (!m_provisional)
            postAddress(false);
    });
    // Started once the view shows a page: before, there is nothing to ask.
    m_probe.setInterval(kProbeMs);
    QObject::connect(&m_probe, &QTimer::timeout, [this] { probePage(); });
}

namespace {

void probed(GObject *source, GAsyncResult *result, gpointer data) {
    GError *error = nullptr;
    WebKitJavascriptResult *value =
        webkit_web_view_run_javascript_in_world_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (value)
        webkit_javascript_result_unref(value);
    const bool viewGone = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error)
        g_error_free(error);
    if (!viewGone)
        self(data)->probeAnswered();
}

} // namespace

// The page's own script may run for ever too (a timer that never returns): the view asks its
// page a trivial question every two seconds, and a page that has not answered for the script
// bound is stopped like a runaway host script.
void WpeView::probePage() {
    if (m_probeSent.isValid()) {
        if (m_probeSent.elapsed() > kScriptBoundMs) {
            m_probeSent.invalidate();
            logMessage("Script of view " + m_name.toStdString() + " ran longer than " +
                       std::to_string(kScriptBoundMs / 1000) + " s: stopping its page");
            webkit_web_view_terminate_web_process(m_view);
        }
        return;
    }
    m_probeSent.start();
    webkit_web_view_run_javascript_in_world(m_view, "0", kWpeViewWorld, m_cancellable, probed,
                                            this);
}

void WpeView::probeAnswered() {
    m_probeSent.invalidate();
}

WpeView::~WpeView() {
    m_engine.m_views.erase(this);
    g_cancellable_cancel(m_cancellable);
    g_signal_handlers_disconnect_by_data(m_view, this);
    g_signal_handlers_disconnect_by_data(m_content, this);
    m_icons.reset();
    releaseBuffer();
    m_target->view = nullptr;
    g_object_unref(m_view);
    g_object_unref(m_content);
    g_object_unref(m_cancellable);
}

bool WpeView::createPopupAllowed() const {
    return m_host && m_host->allowPopups();
}

void WpeView::installScripts() {
    webkit_user_content_manager_remove_all_scripts(m_content);
    const auto add = [this](const QString &source, const char *world) {
        const QByteArray text = source.toUtf8();
        WebKitUserScript *script =
            world ? webkit_user_script_new_for_world(
                        text.constData(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, world, nullptr, nullptr)
                  : webkit_user_script_new(text.constData(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                           WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr,
                                           nullptr);
        webkit_user_content_manager_add_script(m_content, script);
        webkit_user_script_unref(script);
    };
    add(viewWorldScript(), kWpeViewWorld);
    if (!m_engine.consoleFromEngine())
        add(consoleScript(m_engine.consoleChannel()), nullptr);
    add(m_engine.bridgeScriptFor(m_hostDocument), nullptr);
}

void WpeView::logWithheldObjects() const {
    const QUrl url(fromUtf8(webkit_web_view_get_uri(m_view)));
    if (trustedNow() || m_engine.allObjectsAllowed(url))
        return;
    const QString origin = originOf(url);
    logMessage("Bridge withheld from an untrusted page: " +
               (origin.isEmpty() ? url.scheme() + QLatin1Char(':') : origin).toStdString());
}

bool WpeView::trustedNow() const {
    const QUrl url(fromUtf8(webkit_web_view_get_uri(m_view)));
    return hostLoadedOrigins().matches(url) || (m_hostDocument && originOf(url).isEmpty());
}

// ---- Frames -------------------------------------------------------------------------------

// The engine paints a finished page a while after it says the load finished, in its own
// process. A callback two animation frames on has seen the frame holding the finished page
// handed over: the engine starts the second only once the view released the first one's
// picture. So the answer's arrival means the page's picture is in the view (or held for its
// next tick), and LDFN can follow it.
void WpeView::askWhenPainted() {
    m_pagePainted = false;
    ++m_loadCount;
    runInViewWorld(QStringLiteral("requestAnimationFrame(function () {"
                                  " requestAnimationFrame(function () {"
                                  " window.webkit.messageHandlers.%1.postMessage("
                                  "{k: 'painted', n: %2}); }); });")
                       .arg(QLatin1String(kWpeViewChannel))
                       .arg(m_loadCount));
}

bool WpeView::isLoadFinishedPending() const {
    if (!m_notices.isLoadFinishedPending())
        return false;
    // An inactive view paints nothing, so waiting for its picture would only delay LDFN.
    return m_pagePainted || !m_active || !m_loadEnded.isValid() ||
           m_loadEnded.elapsed() >= kPaintedWaitMs;
}

bool WpeView::setViewSize(uint32_t width, uint32_t height) {
    m_requestedWidth = width;
    m_requestedHeight = height;
    if (m_area) {
        width = frameAreaViewSide(width, m_scale);
        height = frameAreaViewSide(height, m_scale);
        if (width == m_width && height == m_height)
            return false;
        m_width = width;
        m_height = height;
        releaseBuffer();
        wpe_view_backend_dispatch_set_size(
            wpe_view_backend_exportable_fdo_get_view_backend(m_exportable), width, height);
        return false;
    }
    width = uint32_t(clampViewSide(int(width)));
    height = uint32_t(clampViewSide(int(height)));
    if (width == m_width && height == m_height)
        return false;
    m_width = width;
    m_height = height;
    const uint32_t textureWidth = uint32_t(textureSideFor(int(width)));
    const uint32_t textureHeight = uint32_t(textureSideFor(int(height)));
    const bool changed = textureWidth != m_textureWidth || textureHeight != m_textureHeight;
    m_textureWidth = textureWidth;
    m_textureHeight = textureHeight;
    m_frames.resize(int(width), int(height), int(textureWidth), int(textureHeight));
    m_frames.resetUpdateSlots();
    // Until the engine paints the view's first page, it shows what an empty page shows.
    m_early = QImage();
    if (!m_painted) {
        m_early = QImage(int(width), int(height), QImage::Format_ARGB32_Premultiplied);
        m_early.fill(m_transparent ? Qt::transparent : Qt::white);
    }
    releaseBuffer();
    wpe_view_backend_dispatch_set_size(
        wpe_view_backend_exportable_fdo_get_view_backend(m_exportable), width, height);
    return changed;
}

void WpeView::takeBuffer(wpe_fdo_shm_exported_buffer *buffer) {
    releaseBuffer();
    m_buffer = buffer;
    if (m_area) {
        serveFrameArea();
        return;
    }
    // A picture of a view that has shown nothing for a tick (the answer to a press, say) goes
    // out at once; a running animation keeps to the ticks.
    if (m_active && earlyTickHook &&
        (!m_sinceTracked.isValid() || m_sinceTracked.elapsed() >= kIdleAfterMs))
        earlyTickHook();
}

bool WpeView::setFrameRate(int32_t rate, int32_t scalePercent) {
    if (rate < 0 || rate > kMaxFrameRate || !validFrameScale(scalePercent))
        return false;
    // The size the host asked for must fit painted; a smaller one is the host's to choose.
    if (int64_t(m_requestedWidth) * scalePercent > int64_t(kMaxFrameSide) * 100 ||
        int64_t(m_requestedHeight) * scalePercent > int64_t(kMaxFrameSide) * 100)
        return false;
    if (!m_area) {
        const std::u16string name = m_name.toStdU16String();
        auto area = std::make_unique<FrameAreaWriter>(
            frameControlName(reinterpret_cast<const uint16_t *>(name.data()), name.size()));
        if (!area->ready())
            return false;
        m_area = std::move(area);
        m_due.setSingleShot(true);
        m_due.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_due, &QTimer::timeout, [this] { serveFrameArea(); });
    }
    m_rate = rate;
    m_scale = scalePercent / 100.0;
    wpe_view_backend *backend = wpe_view_backend_exportable_fdo_get_view_backend(m_exportable);
    wpe_view_backend_dispatch_set_device_scale_factor(backend, float(m_scale));
    m_width = m_height = UINT32_MAX;
    setViewSize(m_requestedWidth, m_requestedHeight);
    m_unpublished = !m_lastPicture.isNull();
    serveFrameArea();
    return true;
}

bool WpeView::paintFrameNow() {
    if (!m_area)
        return false;
    if (m_buffer) {
        m_sinceFrame.invalidate();
        serveFrameArea();
    } else if (!m_lastPicture.isNull() && m_active) {
        publish(PagePixels{m_lastPicture.constBits(), m_lastPicture.bytesPerLine(),
                           m_lastPicture.width(), m_lastPicture.height()});
    }
    return true;
}

void WpeView::frameTick() {
    if (!m_area)
        return;
    if (m_unpublished && m_progress >= kPaintProgress && m_rate > 0)
        serveFrameArea();
    // LDFN goes with the finished page's picture (publish), or at once where the picture waits
    // for FRAM or for the view to be active again.
    if (isLoadFinishedPending() && !m_buffer && (!m_unpublished || m_rate == 0 || !m_active))
        postLoadFinished();
}

void WpeView::serveFrameArea() {
    if (m_buffer) {
        wl_shm_buffer *shm = wpe_fdo_shm_exported_buffer_get_shm_buffer(m_buffer);
        const int width = wl_shm_buffer_get_width(shm);
        const int height = wl_shm_buffer_get_height(shm);
        const int stride = wl_shm_buffer_get_stride(shm);
        if (width > 0 && height > 0 && width <= kMaxFrameSide && height <= kMaxFrameSide &&
            stride >= width * 4) {
            wl_shm_buffer_begin_access(shm);
            m_lastPicture = QImage(static_cast<const uchar *>(wl_shm_buffer_get_data(shm)), width,
                                   height, stride, QImage::Format_ARGB32_Premultiplied)
                                .copy();
            wl_shm_buffer_end_access(shm);
            m_unpublished = true;
        }
        releaseBuffer();
    }
    if (!m_unpublished || !m_active || m_progress < kPaintProgress)
        return;
    if (m_rate == 0)
        return; // only on FRAM
    const qint64 period = 1000 / m_rate;
    if (m_sinceFrame.isValid() && m_sinceFrame.elapsed() < period) {
        if (!m_due.isActive())
            m_due.start(int(period - m_sinceFrame.elapsed()));
        return;
    }
    publish(PagePixels{m_lastPicture.constBits(), m_lastPicture.bytesPerLine(),
                       m_lastPicture.width(), m_lastPicture.height()});
}

void WpeView::publish(const PagePixels &page) {
    m_sinceFrame.start();
    m_unpublished = false;
    m_area->write(page, {}, true);
    if (isLoadFinishedPending())
        postLoadFinished();
}

void WpeView::releaseBuffer() {
    if (!m_buffer)
        return;
    wpe_view_backend_exportable_fdo_dispatch_release_shm_exported_buffer(m_exportable, m_buffer);
    m_buffer = nullptr;
    wpe_view_backend_exportable_fdo_dispatch_frame_complete(m_exportable);
}

void WpeView::renderFrame() {
    if (m_area)
        return; // frame areas are served as the engine's pictures arrive
    // Until a page is shown the view shows the engine's empty page, which is as large as the
    // view; a page reports its own size from its script world.
    const QSize contents = m_reportedSize.isValid() ? m_reportedSize
                           : m_pageShown            ? QSize()
                                                    : QSize(int(m_width), int(m_height));
    if (contents.isValid() && contents != m_contentsSize) {
        m_contentsSize = contents;
        m_notices.contentsSize(m_contentsSize);
    }
    if (!m_buffer) {
        if (m_progress >= kPaintProgress && !m_early.isNull() && m_frames.isSized()) {
            m_frames.trackFrame(PagePixels{m_early.constBits(), m_early.bytesPerLine(),
                                           int(m_width), int(m_height)});
            m_early = QImage();
            return;
        }
        m_frames.trackUnchangedFrame();
        return;
    }
    wl_shm_buffer *shm = wpe_fdo_shm_exported_buffer_get_shm_buffer(m_buffer);
    const int width = wl_shm_buffer_get_width(shm);
    const int height = wl_shm_buffer_get_height(shm);
    const int stride = wl_shm_buffer_get_stride(shm);
    // A buffer painted for the size before the last resize is dropped.
    if (m_frames.isSized() && width >= int(m_width) && height >= int(m_height) &&
        stride >= width * 4) {
        wl_shm_buffer_begin_access(shm);
        const auto *bits = static_cast<const uint8_t *>(wl_shm_buffer_get_data(shm));
        const PagePixels pixels{bits, stride, int(m_width), int(m_height)};
        m_painted = true;
        m_sinceTracked.start();
        if (m_progress >= kPaintProgress) {
            m_early = QImage();
            m_frames.trackFrame(pixels);
        } else {
            m_early = QImage(bits, int(m_width), int(m_height), stride,
                             QImage::Format_ARGB32_Premultiplied)
                          .copy();
        }
        wl_shm_buffer_end_access(shm);
    }
    releaseBuffer();
}

bool WpeView::copyToTextureBuffer(TextureBuffer &buffer, bool debugPartialUpdates) {
    return m_frames.deliverInto(buffer, debugPartialUpdates);
}

void WpeView::setTransparentBackground(bool on) {
    m_transparent = on;
    WebKitColor color{1.0, 1.0, 1.0, on ? 0.0 : 1.0};
    if (on)
        color.red = color.green = color.blue = 0.0;
    webkit_web_view_set_background_color(m_view, &color);
}

// ---- Page ---------------------------------------------------------------------------------

void WpeView::loadUrl(const QUrl &url) {
    hostLoadedOrigins().add(url);
    // An address of no origin (data:, about:) is content the host chose, as HTML text is.
    m_hostDocument = originOf(url).isEmpty();
    m_hostNavigation = true;
    m_progress = 0;
    m_engine.hostTrustChanged();
    const QByteArray address = url.toString(QUrl::FullyEncoded).toUtf8();
    startLoad([this, &address] { webkit_web_view_load_uri(m_view, address.constData()); });
}

void WpeView::showHostHtml(const QString &html) {
    m_hostDocument = true;
    m_hostNavigation = true;
    installScripts();
    const QByteArray text = html.toUtf8();
    startLoad([this, &text] { webkit_web_view_load_html(m_view, text.constData(), nullptr); });
}

void WpeView::goBack() {
    startLoad([this] { webkit_web_view_go_back(m_view); });
}

void WpeView::goForward() {
    startLoad([this] { webkit_web_view_go_forward(m_view); });
}

namespace {

struct Evaluation {
    std::function<void(const QString &)> done;
    QTimer *bound = nullptr;
    WebKitWebView *view = nullptr;
};

void evaluated(GObject *source, GAsyncResult *result, gpointer data) {
    std::unique_ptr<Evaluation> evaluation(static_cast<Evaluation *>(data));
    delete evaluation->bound;
    GError *error = nullptr;
    WebKitJavascriptResult *value =
        webkit_web_view_run_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    QString text;
    if (value) {
        text = valueText(webkit_javascript_result_get_js_value(value));
        webkit_javascript_result_unref(value);
    }
    if (error)
        g_error_free(error);
    evaluation->done(text);
}

} // namespace

void WpeView::evaluate(const QString &script, std::function<void(const QString &)> done) {
    auto *evaluation = new Evaluation{std::move(done), new QTimer, m_view};
    evaluation->bound->setSingleShot(true);
    QObject::connect(evaluation->bound, &QTimer::timeout, [this] {
        logMessage("Script of view " + m_name.toStdString() + " ran longer than " +
                   std::to_string(kScriptBoundMs / 1000) + " s: stopping its page");
        webkit_web_view_terminate_web_process(m_view);
    });
    evaluation->bound->start(kScriptBoundMs);
    webkit_web_view_run_javascript(m_view, script.toUtf8().constData(), m_cancellable, evaluated,
                                   evaluation);
}

void WpeView::runInViewWorld(const QString &script) {
    webkit_web_view_run_javascript_in_world(m_view, script.toUtf8().constData(), kWpeViewWorld,
                                            m_cancellable, nullptr, nullptr);
}

void WpeView::scrollTo(int32_t x, int32_t y) {
    runInViewWorld(QStringLiteral("window.scrollTo(%1, %2);").arg(x).arg(y));
}

// A positive amount scrolls towards the top, in the element that has the focus or else the
// page.
void WpeView::scrollBy(int32_t amount) {
    const int64_t by = -int64_t(amount);
    runInViewWorld(QStringLiteral("window.scrollBy(0, %1);").arg(by));
}

// The text is handed over as a literal that holds it exactly; it never runs as script.
void WpeView::setTextFieldValue(const QString &text) {
    runInViewWorld(
        QStringLiteral("if (window.kelSetField) kelSetField(%1);").arg(scriptStringLiteral(text)));
}

void WpeView::focusNextElement() {
    wpe_view_backend *backend = wpe_view_backend_exportable_fdo_get_view_backend(m_exportable);
    for (const bool pressed : {true, false}) {
        wpe_input_keyboard_event event{nowMs(), 0xff09, 0, pressed, 0};
        wpe_view_backend_dispatch_keyboard_event(backend, &event);
    }
}

void WpeView::refreshBridgeObject(const QString &) {
    // The engine pushes changed properties into every view itself (WpeEngine).
}

// ---- Input --------------------------------------------------------------------------------

namespace {

uint32_t wpeButton(Qt::MouseButton button) {
    switch (button) {
    case Qt::RightButton:
        return 2;
    case Qt::MiddleButton:
        return 3;
    default:
        return 1;
    }
}

uint32_t buttonBit(uint32_t button) {
    return button == 1   ? wpe_input_pointer_modifier_button1
           : button == 2 ? wpe_input_pointer_modifier_button3
                         : wpe_input_pointer_modifier_button2;
}

} // namespace

void WpeView::pointerEvent(int type, int32_t x, int32_t y, uint32_t button, uint32_t state) {
    wpe_input_pointer_event event{};
    event.type = wpe_input_pointer_event_type(type);
    event.time = nowMs();
    event.x = int(eventCoordinate(x));
    event.y = int(eventCoordinate(y));
    event.button = button;
    event.state = state;
    event.modifiers = m_buttons;
    wpe_view_backend_dispatch_pointer_event(
        wpe_view_backend_exportable_fdo_get_view_backend(m_exportable), &event);
}

void WpeView::mouseMove(int32_t x, int32_t y, bool leftButtonHeld) {
    if (leftButtonHeld)
        m_buttons |= wpe_input_pointer_modifier_button1;
    else
        m_buttons &= ~uint32_t(wpe_input_pointer_modifier_button1);
    // A move with the left button held names it, as a drag does in the page.
    pointerEvent(wpe_input_pointer_event_type_motion, x, y, leftButtonHeld ? 1 : 0, 0);
}

void WpeView::mousePress(int32_t x, int32_t y, Qt::MouseButton button) {
    const uint32_t wpe = wpeButton(button);
    m_buttons |= buttonBit(wpe);
    pointerEvent(wpe_input_pointer_event_type_button, x, y, wpe, 1);
}

void WpeView::mouseRelease(int32_t x, int32_t y, Qt::MouseButton button) {
    const uint32_t wpe = wpeButton(button);
    m_buttons &= ~buttonBit(wpe);
    pointerEvent(wpe_input_pointer_event_type_button, x, y, wpe, 0);
}

void WpeView::sendKey(bool press, int key, Qt::KeyboardModifiers modifiers, const QString &text) {
    const uint32_t keysym = keysymFor(key, text);
    if (keysym == 0)
        return;
    wpe_input_keyboard_event event{nowMs(), keysym, 0, press, wpeModifiers(modifiers)};
    wpe_view_backend_dispatch_keyboard_event(
        wpe_view_backend_exportable_fdo_get_view_backend(m_exportable), &event);
}

// ---- Engine notices -----------------------------------------------------------------------

void WpeView::loadChanged(int event) {
    switch (WebKitLoadEvent(event)) {
    case WEBKIT_LOAD_STARTED:
        m_progress = 0;
        // The host's own load keeps its trust; any other navigation of the main frame ends
        // the trust the host's last document had.
        if (!m_hostNavigation && m_hostDocument) {
            m_hostDocument = false;
            installScripts();
        }
        m_hostNavigation = false;
        break;
    case WEBKIT_LOAD_COMMITTED:
        m_pageShown = true;
        logWithheldObjects();
        if (!m_probe.isActive())
            m_probe.start();
        break;
    case WEBKIT_LOAD_FINISHED:
        m_progress = 100;
        m_loadEnded.start();
        askWhenPainted();
        m_notices.loadEnded();
        if (earlyTickHook)
            earlyTickHook();
        break;
    default:
        break;
    }
}

void WpeView::progressChanged() {
    const int32_t percent =
        int32_t(webkit_web_view_get_estimated_load_progress(m_view) * 100.0 + 0.5);
    if (percent == m_progress && percent != 100)
        return;
    m_progress = std::max(m_progress, percent);
    m_notices.progress(percent);
}

void WpeView::titleChanged() {
    m_notices.title(fromUtf8(webkit_web_view_get_title(m_view)));
}

// The engine names a load's address as soon as the load starts, and again at each redirect;
// the host hears of it once the document is there (as with the other engine), so that what it
// runs in the page on URLC reaches that document. A change within the document (a hash, the
// page's history calls) is told at once. During a load the engine names the new address before
// it says that the load started: the check waits until it has.
void WpeView::addressChanged() {
    if (m_startingLoad)
        return; // the address asked for, named before the load exists
    if (webkit_web_view_is_loading(m_view))
        m_addressDue.start();
    else if (!m_provisional)
        postAddress(false);
}

void WpeView::startLoad(const std::function<void()> &load) {
    m_startingLoad = true;
    load();
    m_startingLoad = false;
}

void WpeView::addressLoadPhase(int event) {
    switch (WebKitLoadEvent(event)) {
    case WEBKIT_LOAD_STARTED:
        m_provisional = true;
        m_startedAddress = fromUtf8(webkit_web_view_get_uri(m_view));
        break;
    case WEBKIT_LOAD_COMMITTED: {
        m_provisional = false;
        postAddress(true);
        // The engine answers a request to a port it never connects to with an empty page,
        // without a failure: it gets the error page such a request gets elsewhere.
        const QUrl started(m_startedAddress);
        if (m_address == QLatin1String("about:blank") && !started.host().isEmpty() &&
            started.scheme().startsWith(QLatin1String("http")))
            showErrorPage(m_startedAddress,
                          QStringLiteral("Not allowed to use restricted network port: "
                                         "Request blocked"),
                          WEBKIT_POLICY_ERROR_CANNOT_USE_RESTRICTED_PORT);
        break;
    }
    case WEBKIT_LOAD_FINISHED:
        // A load that failed before its document came leaves the address as it was.
        m_provisional = false;
        m_icons->pageLoaded();
        break;
    default:
        break;
    }
}

// A step in the history within the document is named when it is asked for (and skipped then),
// and not again once it is taken: when the engine is done, the host has its address.
void WpeView::loadingChanged() {
    if (!webkit_web_view_is_loading(m_view) && !m_provisional && !m_startingLoad)
        postAddress(false);
}

void WpeView::showErrorPage(const QString &address, const QString &message, int code) {
    const QByteArray html = errorPageHtml(address, message, code).toUtf8();
    const QByteArray failed = address.toUtf8();
    startLoad([&] {
        webkit_web_view_load_alternate_html(m_view, html.constData(), failed.constData(), nullptr);
    });
}

void WpeView::postAddress(bool always) {
    const QString address = fromUtf8(webkit_web_view_get_uri(m_view));
    if (!always && address == m_address)
        return;
    m_address = address;
    m_notices.address(QUrl(address));
}

WebKitWebView *WpeView::createPopup() {
    if (!createPopupAllowed())
        return nullptr;
    int32_t index = -1;
    auto *view = static_cast<WpeView *>(m_host->createPopupView(&index, this));
    if (!view)
        return nullptr;
    Notice(m_notices.sink(), Code::POPU)
        .textPayload(0, view->name())
        .integer(2, kPopupWidth)
        .integer(3, kPopupHeight)
        .string(0, m_name)
        .post();
    return WEBKIT_WEB_VIEW(g_object_ref(view->webView()));
}

// Script in a popup closed its window: the host is told (POPC) and removes the view when it
// wants to.
void WpeView::closeRequested() {
    if (m_popupIndex == -1)
        return;
    Notice(m_notices.sink(), Code::POPC).textPayload(0, m_name).string(0, m_name).post();
}

void WpeView::viewMessage(const QVariantMap &message) {
    const QString kind = message.value(QStringLiteral("k")).toString();
    if (kind == QLatin1String("focusin")) {
        const QVariantList r = message.value(QStringLiteral("r")).toList();
        const auto at = [&r](int i) { return i < r.size() ? r[i].toInt() : 0; };
        m_notices.textFieldFocusIn(message.value(QStringLiteral("type")).toString(),
                                   message.value(QStringLiteral("value")).toString(),
                                   QRect(at(0), at(1), at(2), at(3)));
    } else if (kind == QLatin1String("focusout")) {
        m_notices.textFieldFocusOut();
    } else if (kind == QLatin1String("painted")) {
        if (message.value(QStringLiteral("n")).toUInt() == m_loadCount)
            m_pagePainted = true;
    } else if (kind == QLatin1String("size")) {
        const int w = message.value(QStringLiteral("w")).toInt();
        const int h = message.value(QStringLiteral("h")).toInt();
        if (w >= 0 && h >= 0)
            m_reportedSize = QSize(w, h);
    }
}

// What page script sends: calls of the host's objects and KEL_View's focus calls (only from a
// page the host trusts with them, checked again here, since a page could find the channel),
// and console lines.
void WpeView::pageMessage(const QVariantMap &message, bool bridge) {
    const QString kind = message.value(QStringLiteral("k")).toString();
    if (!bridge) {
        // Only the page's own wrapper uses this channel, and only where the engine does not
        // hand its console messages over itself.
        if (kind == QLatin1String("console") && !m_engine.consoleFromEngine())
            consoleMessage(message.value(QStringLiteral("m")).toString(),
                           message.value(QStringLiteral("line")).toInt(),
                           message.value(QStringLiteral("source")).toString());
        return;
    }
    const QUrl document(fromUtf8(webkit_web_view_get_uri(m_view)));
    const bool trusted = trustedNow();
    if (kind == QLatin1String("invoke")) {
        const QString object = message.value(QStringLiteral("o")).toString();
        if (!m_engine.objectAllowed(object, document, trusted))
            return;
        const QVariantList args = message.value(QStringLiteral("a")).toList();
        const int32_t count = std::clamp(message.value(QStringLiteral("n")).toInt(), 0, 7);
        Notice notice(m_notices.sink(), Code::INVK);
        notice.string(0, m_engine.reportedName(object))
            .string(1, message.value(QStringLiteral("m")).toString())
            .string(2, m_name);
        for (int k = 0; k < 7; ++k) {
            const QVariant arg = k < args.size() ? args[k] : QVariant();
            if (k < count && !arg.isNull())
                notice.textPayload(1 + 2 * k, arg.toString());
            else
                notice.integer(1 + 2 * k, -1).integer(2 + 2 * k, 0);
        }
        notice.integer(0, count).intCount(2 * count + 1).post();
    } else if (trusted && (kind == QLatin1String("focusin") || kind == QLatin1String("focusout"))) {
        viewMessage(message);
    }
}

void WpeView::consoleMessage(const QString &text, int32_t line, const QString &source) {
    if (admitConsole())
        consoleLine(text, line, source);
}

bool WpeView::admitConsole() {
    return m_engine.admitConsole();
}

void WpeView::consoleLine(const QString &text, int32_t line, const QString &source) {
    Notice(m_notices.sink(), Code::JLOG)
        .textPayload(0, text)
        .integer(2, line)
        .textPayload(3, source)
        .string(0, m_name)
        .post();
}

void WpeView::webProcessEnded(const char *why) {
    logMessage("The page of view " + m_name.toStdString() + " " + why + ": showing an empty page");
    releaseBuffer();
    // Which view's page it was is not known when views share the process.
    const QString text =
        m_engine.m_sharedPageProcess
            ? QStringLiteral("The page process this view shares %1 and was stopped")
            : QStringLiteral("The page %1 and was stopped");
    Notice(m_notices.sink(), Code::JLOG)
        .textPayload(0, text.arg(QLatin1String(why)))
        .integer(2, 0)
        .textPayload(3, QString())
        .string(0, m_name)
        .post();
    m_hostDocument = true;
    m_hostNavigation = true;
    installScripts();
    startLoad([this] { webkit_web_view_load_html(m_view, "", nullptr); });
}

void WpeView::authenticate(WebKitAuthenticationRequest *request) {
    QString user;
    QString password;
    const bool known =
        webkit_authentication_request_is_for_proxy(request)
            ? m_engine.proxyCredentials(&user, &password)
            : m_engine.credentialsFor(fromUtf8(webkit_authentication_request_get_host(request)),
                                      &user, &password);
    // Credentials the server refused once are not offered again. Without any, the load goes on
    // and shows the server's refusal, as a browser without a password dialog does.
    if (!known || webkit_authentication_request_is_retry(request)) {
        webkit_authentication_request_authenticate(request, nullptr);
        return;
    }
    WebKitCredential *credential =
        webkit_credential_new(user.toUtf8().constData(), password.toUtf8().constData(),
                              WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION);
    webkit_authentication_request_authenticate(request, credential);
    webkit_credential_free(credential);
}

} // namespace KEL
