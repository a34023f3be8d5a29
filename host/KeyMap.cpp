#include "KeyMap.h"

#include <algorithm>
#include <iterator>

namespace KEL {
namespace Host {

namespace {

// Qt::Key values (qnamespace.h).
enum : int32_t {
    QEscape = 0x01000000,
    QTab,
    QBacktab,
    QBackspace,
    QReturn,
    QEnter,
    QInsert,
    QDelete,
    QPause,
    QPrint,
    QSysReq,
    QClear,
    QHome = 0x01000010,
    QEnd,
    QLeft,
    QUp,
    QRight,
    QDown,
    QPageUp,
    QPageDown,
    QShift = 0x01000020,
    QControl,
    QMeta,
    QAlt,
    QCapsLock,
    QNumLock,
    QScrollLock,
    QF1 = 0x01000030,
    QF13 = QF1 + 12,
    QSuperL = 0x01000053,
    QSuperR,
    QMenu,
    QHelp = 0x01000058,
    QSelect = 0x01010000,
    QPrinter = 0x01020002,
    QExecute,
    QSleep,
    QSpace = 0x20,
    QApostrophe = 0x27,
    QAsterisk = 0x2A,
    QPlus,
    QComma,
    QMinus,
    QPeriod,
    QSlash,
    QDigit0,
    QSemicolon = 0x3B,
    QEqual = 0x3D,
    QBracketLeft = 0x5B,
    QBackslash,
    QBracketRight,
    QQuoteLeft = 0x60,
};

// SDL 2 key codes of keys without a character are their scan code with bit 30 set.
constexpr int32_t sdlScan(int32_t scancode) {
    return scancode | (1 << 30);
}

// SDL: keys that type no character, and the keypad (whose keys Qt reports like the main
// block's, with the keypad modifier that KEYD does not carry). Right Alt is Alt, as on a US
// layout (Qt reports AltGr only where the layout makes it ISO_Level3_Shift).
constexpr KeyMapping kSdl[] = {
    {8, QBackspace},
    {9, QTab},
    {13, QReturn},
    {27, QEscape},
    {127, QDelete},
    {sdlScan(57), QCapsLock},
    {sdlScan(58), QF1},
    {sdlScan(59), QF1 + 1},
    {sdlScan(60), QF1 + 2},
    {sdlScan(61), QF1 + 3},
    {sdlScan(62), QF1 + 4},
    {sdlScan(63), QF1 + 5},
    {sdlScan(64), QF1 + 6},
    {sdlScan(65), QF1 + 7},
    {sdlScan(66), QF1 + 8},
    {sdlScan(67), QF1 + 9},
    {sdlScan(68), QF1 + 10},
    {sdlScan(69), QF1 + 11},
    {sdlScan(70), QPrint},
    {sdlScan(71), QScrollLock},
    {sdlScan(72), QPause},
    {sdlScan(73), QInsert},
    {sdlScan(74), QHome},
    {sdlScan(75), QPageUp},
    {sdlScan(77), QEnd},
    {sdlScan(78), QPageDown},
    {sdlScan(79), QRight},
    {sdlScan(80), QLeft},
    {sdlScan(81), QDown},
    {sdlScan(82), QUp},
    {sdlScan(83), QNumLock},
    {sdlScan(84), QSlash},
    {sdlScan(85), QAsterisk},
    {sdlScan(86), QMinus},
    {sdlScan(87), QPlus},
    {sdlScan(88), QEnter},
    {sdlScan(89), QDigit0 + 1},
    {sdlScan(90), QDigit0 + 2},
    {sdlScan(91), QDigit0 + 3},
    {sdlScan(92), QDigit0 + 4},
    {sdlScan(93), QDigit0 + 5},
    {sdlScan(94), QDigit0 + 6},
    {sdlScan(95), QDigit0 + 7},
    {sdlScan(96), QDigit0 + 8},
    {sdlScan(97), QDigit0 + 9},
    {sdlScan(98), QDigit0},
    {sdlScan(99), QPeriod},
    {sdlScan(101), QMenu},
    {sdlScan(103), QEqual},
    {sdlScan(104), QF13},
    {sdlScan(105), QF13 + 1},
    {sdlScan(106), QF13 + 2},
    {sdlScan(107), QF13 + 3},
    {sdlScan(108), QF13 + 4},
    {sdlScan(109), QF13 + 5},
    {sdlScan(110), QF13 + 6},
    {sdlScan(111), QF13 + 7},
    {sdlScan(112), QF13 + 8},
    {sdlScan(113), QF13 + 9},
    {sdlScan(114), QF13 + 10},
    {sdlScan(115), QF13 + 11},
    {sdlScan(117), QHelp},
    {sdlScan(118), QMenu},
    {sdlScan(133), QComma},
    {sdlScan(154), QSysReq},
    {sdlScan(156), QClear},
    {sdlScan(224), QControl},
    {sdlScan(225), QShift},
    {sdlScan(226), QAlt},
    {sdlScan(227), QSuperL},
    {sdlScan(228), QControl},
    {sdlScan(229), QShift},
    {sdlScan(230), QAlt},
    {sdlScan(231), QSuperR},
};

// Windows: what Qt's Windows platform reports for each VK_* (letters and digits, 0x30..0x39
// and 0x41..0x5A, are their own values and need no entry). The OEM keys are those of a US
// layout, named after their unshifted character.
constexpr KeyMapping kWindows[] = {
    {0x08, QBackspace},  {0x09, QTab},         {0x0C, QClear},      {0x0D, QReturn},
    {0x10, QShift},      {0x11, QControl},     {0x12, QAlt},        {0x13, QPause},
    {0x14, QCapsLock},   {0x1B, QEscape},      {0x20, QSpace},      {0x21, QPageUp},
    {0x22, QPageDown},   {0x23, QEnd},         {0x24, QHome},       {0x25, QLeft},
    {0x26, QUp},         {0x27, QRight},       {0x28, QDown},       {0x29, QSelect},
    {0x2A, QPrinter},    {0x2B, QExecute},     {0x2C, QPrint},      {0x2D, QInsert},
    {0x2E, QDelete},     {0x2F, QHelp},        {0x5B, QMeta},       {0x5C, QMeta},
    {0x5D, QMenu},       {0x5F, QSleep},       {0x60, QDigit0},     {0x61, QDigit0 + 1},
    {0x62, QDigit0 + 2}, {0x63, QDigit0 + 3},  {0x64, QDigit0 + 4}, {0x65, QDigit0 + 5},
    {0x66, QDigit0 + 6}, {0x67, QDigit0 + 7},  {0x68, QDigit0 + 8}, {0x69, QDigit0 + 9},
    {0x6A, QAsterisk},   {0x6B, QPlus},        {0x6C, QComma},      {0x6D, QMinus},
    {0x6E, QPeriod},     {0x6F, QSlash},       {0x70, QF1},         {0x71, QF1 + 1},
    {0x72, QF1 + 2},     {0x73, QF1 + 3},      {0x74, QF1 + 4},     {0x75, QF1 + 5},
    {0x76, QF1 + 6},     {0x77, QF1 + 7},      {0x78, QF1 + 8},     {0x79, QF1 + 9},
    {0x7A, QF1 + 10},    {0x7B, QF1 + 11},     {0x7C, QF13},        {0x7D, QF13 + 1},
    {0x7E, QF13 + 2},    {0x7F, QF13 + 3},     {0x80, QF13 + 4},    {0x81, QF13 + 5},
    {0x82, QF13 + 6},    {0x83, QF13 + 7},     {0x84, QF13 + 8},    {0x85, QF13 + 9},
    {0x86, QF13 + 10},   {0x87, QF13 + 11},    {0x90, QNumLock},    {0x91, QScrollLock},
    {0xA0, QShift},      {0xA1, QShift},       {0xA2, QControl},    {0xA3, QControl},
    {0xA4, QAlt},        {0xA5, QAlt},         {0xBA, QSemicolon},  {0xBB, QEqual},
    {0xBC, QComma},      {0xBD, QMinus},       {0xBE, QPeriod},     {0xBF, QSlash},
    {0xC0, QQuoteLeft},  {0xDB, QBracketLeft}, {0xDC, QBackslash},  {0xDD, QBracketRight},
    {0xDE, QApostrophe},
};

template <size_t N> constexpr bool sorted(const KeyMapping (&table)[N]) {
    for (size_t i = 1; i < N; ++i) {
        if (table[i - 1].from >= table[i].from)
            return false;
    }
    return true;
}
static_assert(sorted(kSdl) && sorted(kWindows), "tables are sorted for binary search");

template <size_t N> int32_t lookup(const KeyMapping (&table)[N], int32_t from) {
    const KeyMapping *end = table + N;
    const KeyMapping *it = std::lower_bound(
        table, end, from, [](const KeyMapping &m, int32_t value) { return m.from < value; });
    return it != end && it->from == from ? it->qtKey : 0;
}

// Qt names character keys by the upper-case form of their Latin-1 character.
int32_t characterKey(int32_t code) {
    if (code >= 'a' && code <= 'z')
        return code - 0x20;
    if (code >= 0xE0 && code <= 0xFE && code != 0xF7)
        return code - 0x20;
    return code;
}

} // namespace

int32_t qtKeyFromSdl(int32_t sdlKeycode) {
    if (const int32_t key = lookup(kSdl, sdlKeycode))
        return key;
    // Every other key SDL does not derive from a scan code types a character: its key code is
    // that character (unshifted, of the current layout).
    if (sdlKeycode >= 0x20 && sdlKeycode < 0x110000 && sdlKeycode != 0x7F)
        return characterKey(sdlKeycode);
    return 0;
}

int32_t qtKeyFromWindowsVirtualKey(int32_t virtualKey) {
    if ((virtualKey >= 0x30 && virtualKey <= 0x39) || (virtualKey >= 0x41 && virtualKey <= 0x5A))
        return virtualKey;
    return lookup(kWindows, virtualKey);
}

int32_t modifierBitsFromSdl(uint32_t sdlKeymod) {
    return modifierBits(sdlKeymod & 0x0003u, sdlKeymod & 0x00C0u, sdlKeymod & 0x0300u,
                        sdlKeymod & 0x0C00u);
}

int32_t modifierBits(bool shift, bool control, bool alt, bool meta) {
    return (shift ? kModShift : 0) | (control ? kModControl : 0) | (alt ? kModAlt : 0) |
           (meta ? kModMeta : 0);
}

const KeyMapping *sdlKeyTable(int *count) {
    if (count)
        *count = int(std::size(kSdl));
    return kSdl;
}

const KeyMapping *windowsKeyTable(int *count) {
    if (count)
        *count = int(std::size(kWindows));
    return kWindows;
}

} // namespace Host
} // namespace KEL
