#include "view/InputMapping.h"

#include <algorithm>

namespace KEL {

Qt::MouseButton hostButton(int32_t code) {
    switch (code) {
    case 1:
        return Qt::RightButton;
    case 2:
        return Qt::MiddleButton;
    default:
        return Qt::LeftButton;
    }
}

Qt::KeyboardModifiers hostModifiers(int32_t bits) {
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
    if (bits & 1)
        modifiers |= Qt::MetaModifier;
    if (bits & 2)
        modifiers |= Qt::ShiftModifier;
    if (bits & 4)
        modifiers |= Qt::ControlModifier;
    if (bits & 8)
        modifiers |= Qt::AltModifier;
    return modifiers;
}

QString recordText(const Command &command, int index) {
    if (index < 0 || index >= kStrArgCount)
        return QString();
    const uint16_t *units = command.strArgs[index];
    int length = 0;
    while (length < kStrArgUnits && units[length] != 0)
        ++length;
    return QString(reinterpret_cast<const QChar *>(units), length);
}

bool isTabKey(const Command &command) {
    return command.intArgs[0] == Qt::Key_Tab ||
           (command.intArgs[0] == 0 && command.strArgs[1][0] == u'\t');
}

int32_t eventCoordinate(int32_t value) {
    return std::clamp(value, -kMaxEventCoordinate, kMaxEventCoordinate);
}

} // namespace KEL
