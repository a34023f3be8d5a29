// Loaded by WPE WebKit into every page's process: hands the engine's own console messages to
// the view, with the line and the address of the script that logged them. Page script can
// neither reach nor imitate this path: only code inside the page's process sends view
// messages. No Qt here, only what the engine's process already has.

#include <wpe/webkit-web-extension.h>

#include "wpe/ConsoleRelay.h"

#include <cstring>

namespace {

void onConsoleMessage(WebKitWebPage *page, WebKitConsoleMessage *message, gpointer) {
    const WebKitConsoleMessageSource source = webkit_console_message_get_source(message);
    // Script's own output and its uncaught errors; the engine's notes about loads and
    // security are not the page's words.
    if (source != WEBKIT_CONSOLE_MESSAGE_SOURCE_JAVASCRIPT &&
        source != WEBKIT_CONSOLE_MESSAGE_SOURCE_CONSOLE_API)
        return;
    // Text for the message must be valid UTF-8 (a page may log a lone surrogate), and no more
    // than a payload can carry goes over.
    const auto valid = [](const char *utf8) {
        return g_utf8_make_valid(utf8 ? utf8 : "", gssize(utf8 ? strnlen(utf8, 1 << 20) : 0));
    };
    gchar *text = valid(webkit_console_message_get_text(message));
    gchar *address = valid(webkit_console_message_get_source_id(message));
    GVariant *parameters = g_variant_new(
        KEL::kConsoleRelayType, text, guint32(webkit_console_message_get_line(message)), address);
    g_free(text);
    g_free(address);
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
