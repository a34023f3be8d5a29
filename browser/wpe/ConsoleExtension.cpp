// Loaded by WPE WebKit into every page's process: hands the engine's own console messages to
// the view, with the line and the address of the script that logged them. Page script can
// neither reach nor imitate this path: only code inside the page's process sends view
// messages. No Qt here, only what the engine's process already has.

#include <wpe/webkit-web-extension.h>

#include "wpe/ConsoleRelay.h"

namespace {

void onConsoleMessage(WebKitWebPage *page, WebKitConsoleMessage *message, gpointer) {
    const WebKitConsoleMessageSource source = webkit_console_message_get_source(message);
    // Script's own output and its uncaught errors; the engine's notes about loads and
    // security are not the page's words.
    if (source != WEBKIT_CONSOLE_MESSAGE_SOURCE_JAVASCRIPT &&
        source != WEBKIT_CONSOLE_MESSAGE_SOURCE_CONSOLE_API)
        return;
    const char *text = webkit_console_message_get_text(message);
    const char *address = webkit_console_message_get_source_id(message);
    GVariant *parameters =
        g_variant_new(KEL::kConsoleRelayType, text ? text : "",
                      guint32(webkit_console_message_get_line(message)), address ? address : "");
    webkit_web_page_send_message_to_view(
        page, webkit_user_message_new(KEL::kConsoleRelayMessage, parameters), nullptr, nullptr,
        nullptr);
}

void onPageCreated(WebKitWebExtension *, WebKitWebPage *page, gpointer) {
    g_signal_connect(page, "console-message-sent", G_CALLBACK(onConsoleMessage), nullptr);
}

} // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize(WebKitWebExtension *extension) {
    g_signal_connect(extension, "page-created", G_CALLBACK(onPageCreated), nullptr);
}
