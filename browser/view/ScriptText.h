#pragma once
// Text the host or the network hands over, made safe to place inside page script.

#include <QString>

namespace KEL {

// A double-quoted script string literal holding exactly `text`: backslash, both quotes, every
// control character and the two script line separators become \uXXXX.
QString scriptStringLiteral(const QString &text);

} // namespace KEL
