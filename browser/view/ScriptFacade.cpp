#include "view/ScriptFacade.h"
#include "view/ScriptText.h"

#include "view/TextFieldWatcher.h"

#include <QRandomGenerator>
#include <QWebFrame>

namespace KEL {

namespace {

QString hiddenName() {
    QString name = QStringLiteral("__kel_");
    for (int k = 0; k < 4; ++k)
        name += QString::number(QRandomGenerator::system()->generate(), 36);
    return name;
}

// The call forwards exactly the arguments script passed, so the native method's overload for
// that count is chosen as if script had called it directly; it relies on nothing page script
// could have replaced (no apply, no prototype lookups).
QString forwarder(const QString &method) {
    const QString m = scriptStringLiteral(method);
    return QStringLiteral(
               "function () { var a = arguments, n = native, m = %1;"
               "  switch (a.length) {"
               "  case 0: return n[m]();"
               "  case 1: return n[m](a[0]);"
               "  case 2: return n[m](a[0], a[1]);"
               "  case 3: return n[m](a[0], a[1], a[2]);"
               "  case 4: return n[m](a[0], a[1], a[2], a[3]);"
               "  case 5: return n[m](a[0], a[1], a[2], a[3], a[4]);"
               "  case 6: return n[m](a[0], a[1], a[2], a[3], a[4], a[5]);"
               "  case 7: return n[m](a[0], a[1], a[2], a[3], a[4], a[5], a[6]);"
               "  case 8: return n[m](a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);"
               "  default: return n[m](a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);"
               "  } }")
        .arg(m);
}

} // namespace

void runWithHiddenObject(QWebFrame *frame, QObject *object, const QString &body) {
    if (!frame || !object)
        return;
    const QString name = hiddenName();
    const QString key = scriptStringLiteral(name);
    frame->addToJavaScriptWindowObject(name, object);
    frame->evaluateJavaScript(QStringLiteral("(function (native) {") + body +
                              QStringLiteral("})((function () { var o = window[%1]; delete "
                                             "window[%1]; return o; })());")
                                  .arg(key));
}

namespace {

// Name of the facade's refresh function; see refreshFacade.
const QString kRefresh = QStringLiteral("__kel_refresh");

} // namespace

// The engine has no Proxy, so the facade is a plain object with a getter per name, each
// non-configurable so page script cannot redefine it. A property that appears later gets its
// getter from refreshFacade. The facade stays extensible, so that refresh can add getters; a
// page that adds properties of its own only changes what it sees itself.
void installFacade(QWebFrame *frame, const QString &name, QObject *object,
                   const QStringList &methods, bool withProperties) {
    QString script = QStringLiteral("var own = Object.create(null);");
    for (const QString &method : methods)
        script +=
            QStringLiteral("own[%1] = %2;").arg(scriptStringLiteral(method), forwarder(method));
    // Only strings can be dynamic properties (the host sets them as text); the object's own
    // name is the host's business, and signatures with parentheses name native members.
    script += withProperties
                  ? QStringLiteral(
                        "function read(k) {"
                        "  if (Object.prototype.hasOwnProperty.call(own, k)) return own[k];"
                        "  if (k === 'objectName' || k === %1 || k.indexOf('(') >= 0) return;"
                        "  var v = native[k]; return typeof v === 'string' ? v : undefined; }"
                        "function names() { var r = Object.keys(own), all = Object.keys(native);"
                        "  for (var i = 0; i < all.length; ++i)"
                        "    if (r.indexOf(all[i]) < 0 && read(all[i]) !== undefined)"
                        "      r.push(all[i]);"
                        "  return r; }")
                        .arg(scriptStringLiteral(kRefresh))
                  : QStringLiteral("function read(k) { return own[k]; }"
                                   "function names() { return Object.keys(own); }");
    script +=
        QStringLiteral("var facade = {};"
                       "function refresh() { var ks = names();"
                       "  for (var i = 0; i < ks.length; ++i) {"
                       "    if (Object.prototype.hasOwnProperty.call(facade, ks[i])) continue;"
                       "    (function (k) { Object.defineProperty(facade, k, {"
                       "      get: function () { return read(k); }, enumerable: true,"
                       "      configurable: false }); })(ks[i]); } }"
                       "refresh();"
                       "Object.defineProperty(facade, %2, { value: function () { refresh(); },"
                       "  enumerable: false, configurable: false, writable: false });"
                       "Object.defineProperty(window, %1, { value: facade, writable: true,"
                       "  configurable: true, enumerable: true });")
            .arg(scriptStringLiteral(name), scriptStringLiteral(kRefresh));
    runWithHiddenObject(frame, object, script);
}

// Whatever window[name] now is, page script could have put it there; calling its refresh
// function runs no more than the page could run on its own.
void refreshFacade(QWebFrame *frame, const QString &name) {
    if (!frame)
        return;
    frame->evaluateJavaScript(
        QStringLiteral("(function () { try { var f = window[%1];"
                       "  if (f && typeof f[%2] === 'function') f[%2](); } catch (e) {} })()")
            .arg(scriptStringLiteral(name), scriptStringLiteral(kRefresh)));
}

} // namespace KEL
