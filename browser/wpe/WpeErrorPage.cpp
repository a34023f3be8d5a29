#include "wpe/WpeErrorPage.h"

namespace KEL {

QString errorPageHtml(const QString &address, const QString &message, int code) {
    const int cut = message.lastIndexOf(QLatin1String(": "));
    const QString reason = (cut >= 0 ? message.mid(cut + 2) : message).trimmed();
    return QStringLiteral("<html><head><title>%1</title></head><body>"
                          "<p>Failed to load URL %2.</p><p>%3</p><pre>WebKit Error %4</pre>"
                          "</body></html>")
        // One call: a second would also replace a "%1" to "%9" inside the address.
        .arg(reason.toHtmlEscaped(), address.toHtmlEscaped(), message.toHtmlEscaped(),
             QString::number(code));
}

} // namespace KEL
