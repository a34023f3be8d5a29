#include "wpe/WpeKeys.h"

#include <QVector>

#include <algorithm>
#include <iterator>

namespace KEL {

namespace {

struct KeyRow {
    int qtKey;
    uint32_t keysym;
};

// Sorted by Qt key value (checked once, on first use).
constexpr KeyRow kKeys[] = {
    {Qt::Key_Escape, 0xff1b},    {Qt::Key_Tab, 0xff09},      {Qt::Key_Backtab, 0xfe20},
    {Qt::Key_Backspace, 0xff08}, {Qt::Key_Return, 0xff0d},   {Qt::Key_Enter, 0xff8d},
    {Qt::Key_Insert, 0xff63},    {Qt::Key_Delete, 0xffff},   {Qt::Key_Pause, 0xff13},
    {Qt::Key_Print, 0xff61},     {Qt::Key_SysReq, 0xff15},   {Qt::Key_Clear, 0xff0b},
    {Qt::Key_Home, 0xff50},      {Qt::Key_End, 0xff57},      {Qt::Key_Left, 0xff51},
    {Qt::Key_Up, 0xff52},        {Qt::Key_Right, 0xff53},    {Qt::Key_Down, 0xff54},
    {Qt::Key_PageUp, 0xff55},    {Qt::Key_PageDown, 0xff56}, {Qt::Key_Shift, 0xffe1},
    {Qt::Key_Control, 0xffe3},   {Qt::Key_Meta, 0xffe7},     {Qt::Key_Alt, 0xffe9},
    {Qt::Key_CapsLock, 0xffe5},  {Qt::Key_NumLock, 0xff7f},  {Qt::Key_ScrollLock, 0xff14},
    {Qt::Key_F1, 0xffbe},        {Qt::Key_F2, 0xffbf},       {Qt::Key_F3, 0xffc0},
    {Qt::Key_F4, 0xffc1},        {Qt::Key_F5, 0xffc2},       {Qt::Key_F6, 0xffc3},
    {Qt::Key_F7, 0xffc4},        {Qt::Key_F8, 0xffc5},       {Qt::Key_F9, 0xffc6},
    {Qt::Key_F10, 0xffc7},       {Qt::Key_F11, 0xffc8},      {Qt::Key_F12, 0xffc9},
    {Qt::Key_Super_L, 0xffeb},   {Qt::Key_Super_R, 0xffec},  {Qt::Key_Menu, 0xff67},
};

constexpr bool sorted() {
    for (std::size_t i = 1; i < std::size(kKeys); ++i)
        if (kKeys[i - 1].qtKey >= kKeys[i].qtKey)
            return false;
    return true;
}
static_assert(sorted(), "the key table is searched by halves");

uint32_t characterKeysym(uint32_t codePoint) {
    if (codePoint < 0x20 || codePoint == 0x7f || (codePoint >= 0xd800 && codePoint < 0xe000) ||
        codePoint > 0x10ffff)
        return 0;
    // Latin-1 characters are their own keysyms; the rest of Unicode sits at 0x01000000 up.
    return codePoint < 0x100 ? codePoint : 0x01000000u + codePoint;
}

} // namespace

uint32_t keysymFor(int key, const QString &text) {
    const auto row = std::lower_bound(std::begin(kKeys), std::end(kKeys), key,
                                      [](const KeyRow &a, int k) { return a.qtKey < k; });
    if (row != std::end(kKeys) && row->qtKey == key)
        return row->keysym;
    if (!text.isEmpty()) {
        const QVector<uint> units = text.toUcs4();
        if (!units.isEmpty() && characterKeysym(units.front()) != 0)
            return characterKeysym(units.front());
    }
    if (key > 0 && key < 0x01000000) {
        // Qt names letters by their upper case; untyped, a letter key types the lower one.
        const uint32_t lower = QChar::toLower(uint(key));
        return characterKeysym(lower);
    }
    return 0;
}

uint32_t wpeModifiers(Qt::KeyboardModifiers modifiers) {
    uint32_t bits = 0;
    if (modifiers & Qt::ControlModifier)
        bits |= 1u << 0;
    if (modifiers & Qt::ShiftModifier)
        bits |= 1u << 1;
    if (modifiers & Qt::AltModifier)
        bits |= 1u << 2;
    if (modifiers & Qt::MetaModifier)
        bits |= 1u << 3;
    return bits;
}

} // namespace KEL
