#pragma once
// The scripts the WPE engine puts into pages. Page script never sees the view's own channel:
// the text-field watcher, the contents-size report and IMES run in a script world of their
// own, which shares the document but none of the page's script objects. What page script may
// call (the host's objects, KEL_View, the console) goes through channels whose names are
// random per process and known only to the closures that capture them before the page runs.

#include <QMap>
#include <QString>
#include <QStringList>

namespace KEL {

// The script world of the view's own scripts.
extern const char *const kWpeViewWorld; // "kel"
// The channel of the view's own scripts, in that world only.
extern const char *const kWpeViewChannel; // "kelView"

// The watcher that reports text-field focus ({k:"focusin", type, value, r:[l,t,w,h]} and
// {k:"focusout"}) and the document's size ({k:"size", w, h}), and defines kelSetField(text)
// for IMES. Every top document, in kWpeViewWorld.
QString viewWorldScript();

// Main world, every top document: console messages and uncaught errors as {k:"console", m,
// line, source} on `channel`.
QString consoleScript(const QString &channel);

// An allow list as page script checks it: "*", or origins as originOf writes them (file
// origins cover the folders below them).
struct ScriptOrigins {
    bool any = false;
    QStringList origins;
};

struct ScriptObject {
    ScriptOrigins allowed;
    QMap<QString, QString> properties;
};

// Main world, every top document: a facade per object the document may hold (the host trusts
// the document, or the object's own list names it) with `invoke` and its string properties
// ({k:"invoke", o, m, a:[7 texts or null], n} on `channel`), KEL_View with its two focus calls
// where the host trusts the document, and the function `updater` (window property, not
// enumerable) through which SETP changes a property in documents already showing. The host
// trusts the origins in `host`, and a document of no origin while `hostDocument`.
QString bridgeScript(const QString &channel, const QString &updater,
                     const QMap<QString, ScriptObject> &objects, const ScriptOrigins &host,
                     bool hostDocument);

// Runs in the main world: property `property` of object `object` now reads `value`.
QString propertyUpdate(const QString &updater, const QString &object, const QString &property,
                       const QString &value);

} // namespace KEL
