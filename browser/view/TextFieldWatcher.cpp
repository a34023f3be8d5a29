#include "view/TextFieldWatcher.h"

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

void installTextFieldWatcher(QWebFrame *frame, QObject *callbacks) {
    frame->addToJavaScriptWindowObject(QStringLiteral("KEL_View"), callbacks);
    static const QString watcher = QStringLiteral(
        "function KEL_isTextElement(el) {"
        "  if (!el || !el.tagName || el.tagName.toLowerCase() != 'input') return false;"
        "  var t = String(el.type).toLowerCase(); return t == 'text' || t == 'password'; }"
        "var KEL_TextElement = 0;"
        "function KEL_setTextElement(value) { KEL_TextElement.value = value; }"
        "this.addEventListener('DOMFocusIn', function (e) {"
        "  if (!KEL_isTextElement(e.target)) return;"
        "  KEL_TextElement = e.target; var r = e.target.getBoundingClientRect();"
        "  KEL_View.handleFocusIn(e.target.type.toLowerCase(), e.target.value,"
        "                         r.left, r.top, r.width, r.height); }, false);"
        "this.addEventListener('DOMFocusOut', function (e) {"
        "  if (!KEL_isTextElement(e.target)) return;"
        "  KEL_View.handleFocusOut(e.target.value); KEL_TextElement = 0; }, false);");
    frame->evaluateJavaScript(watcher);
}

// The text is handed over as a literal that holds it exactly; it never runs as script.
void setFocusedTextFieldValue(QWebFrame *frame, const QString &text) {
    frame->documentElement().evaluateJavaScript(
        QStringLiteral("if (KEL_TextElement) KEL_TextElement.value = ") +
        scriptStringLiteral(text) + QLatin1Char(';'));
}

QString scriptStringLiteral(const QString &text) {
    QString literal;
    literal.reserve(text.size() + 2);
    literal += QLatin1Char('"');
    for (const QChar unit : text) {
        const ushort u = unit.unicode();
        if (u < 0x20 || u == 0x7f || u == '"' || u == '\'' || u == '\\' || u == 0x2028 ||
            u == 0x2029)
            literal += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            literal += unit;
    }
    literal += QLatin1Char('"');
    return literal;
}

} // namespace KEL
