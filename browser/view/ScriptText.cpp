#include "view/ScriptText.h"

namespace KEL {

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
