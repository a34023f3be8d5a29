#pragma once
// The page shown in place of one the network could not serve, in the shape the browser's
// error pages have on either engine, so that hosts and tools read a failed load the same way:
// the reason as the title, "Failed to load URL <address>." in the body's first paragraph and
// "WebKit Error <code>" as the body's preformatted line.

#include <QString>

namespace KEL {

// `message` is the engine's own text (as "Could not connect to host: Connection refused"); the
// title is its last part, the reason, and the whole text follows the address.
QString errorPageHtml(const QString &address, const QString &message, int code);

} // namespace KEL
