#include "view/TextFieldWatcher.h"

#include "view/ScriptFacade.h"
#include "view/ScriptText.h"
#include "view/ViewNotices.h"

#include <QRect>
#include <QWebElement>
#include <QWebFrame>

namespace KEL {

void TextFieldCallbacks::handleFocusIn(const QVariant &type, const QVariant &var,
                                       const QVariant &left, const QVariant &top,
                                       const QVariant &width, const QVariant &height) {
    m_notices.textFieldFocusIn(type.toString(), var.toString(),
                               QRect(left.toInt(), top.toInt(), width.toInt(), height.toInt()));
}

void TextFieldCallbacks::handleFocusOut(const QVariant &) {
    m_notices.textFieldFocusOut();
}

void installTextFieldWatcher(QWebFrame *frame, QObject *callbacks, bool exposed) {
    // The listeners hold the callbacks in their closure: focus reaches the host from every
    // page, while page script reaches KEL_View (and through it only the two focus calls) only
    // where the page is trusted with it.
    static const QString watcher = QStringLiteral(
        "window.KEL_isTextElement = function (el) {"
        "  if (!el || !el.tagName || el.tagName.toLowerCase() != 'input') return false;"
        "  var t = String(el.type).toLowerCase(); return t == 'text' || t == 'password'; };"
        "var isText = window.KEL_isTextElement;"
        "window.KEL_TextElement = 0;"
        "window.KEL_setTextElement = function (value) { KEL_TextElement.value = value; };"
        "window.addEventListener('DOMFocusIn', function (e) {"
        "  if (!isText(e.target)) return;"
        "  window.KEL_TextElement = e.target; var r = e.target.getBoundingClientRect();"
        "  native.handleFocusIn(e.target.type.toLowerCase(), e.target.value,"
        "                       r.left, r.top, r.width, r.height); }, false);"
        "window.addEventListener('DOMFocusOut', function (e) {"
        "  if (!isText(e.target)) return;"
        "  native.handleFocusOut(e.target.value); window.KEL_TextElement = 0; }, false);");
    runWithHiddenObject(frame, callbacks, watcher);
    if (exposed)
        installFacade(frame, QStringLiteral("KEL_View"), callbacks,
                      {QStringLiteral("handleFocusIn"), QStringLiteral("handleFocusOut")}, false);
}

// The text is handed over as a literal that holds it exactly; it never runs as script.
void setFocusedTextFieldValue(QWebFrame *frame, const QString &text) {
    frame->documentElement().evaluateJavaScript(
        QStringLiteral("if (KEL_TextElement) KEL_TextElement.value = ") +
        scriptStringLiteral(text) + QLatin1Char(';'));
}

} // namespace KEL
