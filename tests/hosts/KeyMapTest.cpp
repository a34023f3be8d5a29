// The key tables against the values themselves: Qt's own enumeration and SDL's own key codes,
// so a value mistyped in the host kit (which includes neither header) shows up here.

#include "KeyMap.h"
#include "KELPlugin.h"

#include <Qt>
#include <SDL_keycode.h>
#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace KEL::Host;

namespace {

struct Expect {
    int32_t from;
    int32_t qtKey;
    const char *name;
};

// What a Qt application on X11 receives for each key (US layout, NumLock on: keypad keys come
// as the main block's keys with the keypad modifier, which KEYD does not carry).
const Expect kSdlCases[] = {
    {SDLK_a, Qt::Key_A, "a"},
    {SDLK_z, Qt::Key_Z, "z"},
    {SDLK_0, Qt::Key_0, "0"},
    {SDLK_9, Qt::Key_9, "9"},
    {SDLK_SPACE, Qt::Key_Space, "space"},
    {SDLK_COMMA, Qt::Key_Comma, "comma"},
    {SDLK_MINUS, Qt::Key_Minus, "minus"},
    {SDLK_PERIOD, Qt::Key_Period, "period"},
    {SDLK_SLASH, Qt::Key_Slash, "slash"},
    {SDLK_SEMICOLON, Qt::Key_Semicolon, "semicolon"},
    {SDLK_EQUALS, Qt::Key_Equal, "equals"},
    {SDLK_LEFTBRACKET, Qt::Key_BracketLeft, "["},
    {SDLK_BACKSLASH, Qt::Key_Backslash, "backslash"},
    {SDLK_RIGHTBRACKET, Qt::Key_BracketRight, "]"},
    {SDLK_BACKQUOTE, Qt::Key_QuoteLeft, "`"},
    {SDLK_QUOTE, Qt::Key_Apostrophe, "'"},
    {0xE9, Qt::Key_Eacute, "e acute"},
    {SDLK_RETURN, Qt::Key_Return, "return"},
    {SDLK_ESCAPE, Qt::Key_Escape, "escape"},
    {SDLK_BACKSPACE, Qt::Key_Backspace, "backspace"},
    {SDLK_TAB, Qt::Key_Tab, "tab"},
    {SDLK_DELETE, Qt::Key_Delete, "delete"},
    {SDLK_INSERT, Qt::Key_Insert, "insert"},
    {SDLK_HOME, Qt::Key_Home, "home"},
    {SDLK_END, Qt::Key_End, "end"},
    {SDLK_PAGEUP, Qt::Key_PageUp, "page up"},
    {SDLK_PAGEDOWN, Qt::Key_PageDown, "page down"},
    {SDLK_LEFT, Qt::Key_Left, "left"},
    {SDLK_RIGHT, Qt::Key_Right, "right"},
    {SDLK_UP, Qt::Key_Up, "up"},
    {SDLK_DOWN, Qt::Key_Down, "down"},
    {SDLK_CAPSLOCK, Qt::Key_CapsLock, "caps lock"},
    {SDLK_NUMLOCKCLEAR, Qt::Key_NumLock, "num lock"},
    {SDLK_SCROLLLOCK, Qt::Key_ScrollLock, "scroll lock"},
    {SDLK_PRINTSCREEN, Qt::Key_Print, "print"},
    {SDLK_PAUSE, Qt::Key_Pause, "pause"},
    {SDLK_APPLICATION, Qt::Key_Menu, "application"},
    {SDLK_MENU, Qt::Key_Menu, "menu"},
    {SDLK_HELP, Qt::Key_Help, "help"},
    {SDLK_SYSREQ, Qt::Key_SysReq, "sysreq"},
    {SDLK_KP_ENTER, Qt::Key_Enter, "keypad enter"},
    {SDLK_KP_PLUS, Qt::Key_Plus, "keypad plus"},
    {SDLK_KP_MINUS, Qt::Key_Minus, "keypad minus"},
    {SDLK_KP_MULTIPLY, Qt::Key_Asterisk, "keypad multiply"},
    {SDLK_KP_DIVIDE, Qt::Key_Slash, "keypad divide"},
    {SDLK_KP_PERIOD, Qt::Key_Period, "keypad period"},
    {SDLK_LSHIFT, Qt::Key_Shift, "left shift"},
    {SDLK_RSHIFT, Qt::Key_Shift, "right shift"},
    {SDLK_LCTRL, Qt::Key_Control, "left control"},
    {SDLK_RCTRL, Qt::Key_Control, "right control"},
    {SDLK_LALT, Qt::Key_Alt, "left alt"},
    {SDLK_RALT, Qt::Key_Alt, "right alt"},
    {SDLK_LGUI, Qt::Key_Super_L, "left super"},
    {SDLK_RGUI, Qt::Key_Super_R, "right super"},
    {SDLK_KP_EQUALS, Qt::Key_Equal, "keypad equals"},
    {SDLK_KP_COMMA, Qt::Key_Comma, "keypad comma"},
    {SDLK_CLEAR, Qt::Key_Clear, "clear"},
    {SDLK_UNKNOWN, 0, "unknown"},
};

// What a Qt application on Windows receives for each virtual key.
const Expect kWindowsCases[] = {
    {'A', Qt::Key_A, "A"},
    {'Z', Qt::Key_Z, "Z"},
    {'0', Qt::Key_0, "0"},
    {'9', Qt::Key_9, "9"},
    {0x08, Qt::Key_Backspace, "VK_BACK"},
    {0x09, Qt::Key_Tab, "VK_TAB"},
    {0x0C, Qt::Key_Clear, "VK_CLEAR"},
    {0x0D, Qt::Key_Return, "VK_RETURN"},
    {0x10, Qt::Key_Shift, "VK_SHIFT"},
    {0x11, Qt::Key_Control, "VK_CONTROL"},
    {0x12, Qt::Key_Alt, "VK_MENU"},
    {0x13, Qt::Key_Pause, "VK_PAUSE"},
    {0x14, Qt::Key_CapsLock, "VK_CAPITAL"},
    {0x1B, Qt::Key_Escape, "VK_ESCAPE"},
    {0x20, Qt::Key_Space, "VK_SPACE"},
    {0x21, Qt::Key_PageUp, "VK_PRIOR"},
    {0x22, Qt::Key_PageDown, "VK_NEXT"},
    {0x23, Qt::Key_End, "VK_END"},
    {0x24, Qt::Key_Home, "VK_HOME"},
    {0x25, Qt::Key_Left, "VK_LEFT"},
    {0x26, Qt::Key_Up, "VK_UP"},
    {0x27, Qt::Key_Right, "VK_RIGHT"},
    {0x28, Qt::Key_Down, "VK_DOWN"},
    {0x29, Qt::Key_Select, "VK_SELECT"},
    {0x2A, Qt::Key_Printer, "VK_PRINT"},
    {0x2B, Qt::Key_Execute, "VK_EXECUTE"},
    {0x2C, Qt::Key_Print, "VK_SNAPSHOT"},
    {0x2D, Qt::Key_Insert, "VK_INSERT"},
    {0x2E, Qt::Key_Delete, "VK_DELETE"},
    {0x2F, Qt::Key_Help, "VK_HELP"},
    {0x5B, Qt::Key_Meta, "VK_LWIN"},
    {0x5C, Qt::Key_Meta, "VK_RWIN"},
    {0x5D, Qt::Key_Menu, "VK_APPS"},
    {0x5F, Qt::Key_Sleep, "VK_SLEEP"},
    {0x6A, Qt::Key_Asterisk, "VK_MULTIPLY"},
    {0x6B, Qt::Key_Plus, "VK_ADD"},
    {0x6C, Qt::Key_Comma, "VK_SEPARATOR"},
    {0x6D, Qt::Key_Minus, "VK_SUBTRACT"},
    {0x6E, Qt::Key_Period, "VK_DECIMAL"},
    {0x6F, Qt::Key_Slash, "VK_DIVIDE"},
    {0x90, Qt::Key_NumLock, "VK_NUMLOCK"},
    {0x91, Qt::Key_ScrollLock, "VK_SCROLL"},
    {0xA0, Qt::Key_Shift, "VK_LSHIFT"},
    {0xA1, Qt::Key_Shift, "VK_RSHIFT"},
    {0xA2, Qt::Key_Control, "VK_LCONTROL"},
    {0xA3, Qt::Key_Control, "VK_RCONTROL"},
    {0xA4, Qt::Key_Alt, "VK_LMENU"},
    {0xA5, Qt::Key_Alt, "VK_RMENU"},
    {0xBA, Qt::Key_Semicolon, "VK_OEM_1"},
    {0xBB, Qt::Key_Equal, "VK_OEM_PLUS"},
    {0xBC, Qt::Key_Comma, "VK_OEM_COMMA"},
    {0xBD, Qt::Key_Minus, "VK_OEM_MINUS"},
    {0xBE, Qt::Key_Period, "VK_OEM_PERIOD"},
    {0xBF, Qt::Key_Slash, "VK_OEM_2"},
    {0xC0, Qt::Key_QuoteLeft, "VK_OEM_3"},
    {0xDB, Qt::Key_BracketLeft, "VK_OEM_4"},
    {0xDC, Qt::Key_Backslash, "VK_OEM_5"},
    {0xDD, Qt::Key_BracketRight, "VK_OEM_6"},
    {0xDE, Qt::Key_Apostrophe, "VK_OEM_7"},
    {0x07, 0, "undefined"},
};

// The runs of function keys and keypad digits, key by key.
std::vector<Expect> withRuns(const Expect *cases, size_t count, bool windows) {
    std::vector<Expect> all(cases, cases + count);
    for (int i = 0; i < 12; ++i) {
        all.push_back({windows ? 0x70 + i : SDLK_F1 + i, Qt::Key_F1 + i, "F1..F12"});
        all.push_back({windows ? 0x7C + i : SDLK_F13 + i, Qt::Key_F13 + i, "F13..F24"});
    }
    for (int i = 0; i < 10; ++i) // SDL's keypad runs 1..9, then 0
        all.push_back({windows  ? 0x60 + i
                       : i == 0 ? SDLK_KP_0
                                : SDLK_KP_1 + i - 1,
                       Qt::Key_0 + i, "keypad digit"});
    return all;
}

const std::vector<Expect> kSdl = withRuns(kSdlCases, std::size(kSdlCases), false);
const std::vector<Expect> kWindows = withRuns(kWindowsCases, std::size(kWindowsCases), true);

TEST(KeyMap, SdlKeysMapToTheKeysQtReports) {
    for (const Expect &c : kSdl)
        EXPECT_EQ(qtKeyFromSdl(c.from), c.qtKey) << c.name << " " << std::hex << c.from;
}

TEST(KeyMap, WindowsVirtualKeysMapToTheKeysQtReports) {
    for (const Expect &c : kWindows)
        EXPECT_EQ(qtKeyFromWindowsVirtualKey(c.from), c.qtKey)
            << c.name << " " << std::hex << c.from;
}

// Every table entry is checked above, so no mapping can hide from the cases.
TEST(KeyMap, EveryTableEntryHasACase) {
    for (const bool windows : {false, true}) {
        std::set<int32_t> covered;
        for (const Expect &c : windows ? kWindows : kSdl)
            covered.insert(c.from);
        int n = 0;
        const KeyMapping *entries = windows ? windowsKeyTable(&n) : sdlKeyTable(&n);
        for (int i = 0; i < n; ++i)
            EXPECT_TRUE(covered.count(entries[i].from))
                << (windows ? "Windows " : "SDL ") << std::hex << entries[i].from;
    }
}

TEST(KeyMap, ModifierStatesBecomeRequestBits) {
    EXPECT_EQ(modifierBitsFromSdl(KMOD_NONE), 0);
    EXPECT_EQ(modifierBitsFromSdl(KMOD_LSHIFT), kModShift);
    EXPECT_EQ(modifierBitsFromSdl(KMOD_RCTRL | KMOD_LSHIFT), kModShift | kModControl);
    EXPECT_EQ(modifierBitsFromSdl(KMOD_RALT), kModAlt);
    EXPECT_EQ(modifierBitsFromSdl(KMOD_LGUI), kModMeta);
    EXPECT_EQ(modifierBitsFromSdl(KMOD_NUM | KMOD_CAPS), 0);
    EXPECT_EQ(modifierBits(true, true, true, true), 15);
}

TEST(KeyMap, HostConstantsAreQtsValues) {
    EXPECT_EQ(QtKey::Escape, Qt::Key_Escape);
    EXPECT_EQ(QtKey::Tab, Qt::Key_Tab);
    EXPECT_EQ(QtKey::Backspace, Qt::Key_Backspace);
    EXPECT_EQ(QtKey::Return, Qt::Key_Return);
    EXPECT_EQ(QtKey::Enter, Qt::Key_Enter);
    EXPECT_EQ(QtKey::Left, Qt::Key_Left);
    EXPECT_EQ(QtKey::Right, Qt::Key_Right);
    EXPECT_EQ(QtKey::F5, Qt::Key_F5);
    EXPECT_EQ(QtKey::L, Qt::Key_L);
}

// The C header's key values, for hosts without the kit's tables.
TEST(KeyMap, CHeaderKeysAreQtsValues) {
    const Expect cases[] = {
        {KEL_KEY_ESCAPE, Qt::Key_Escape, "Escape"},
        {KEL_KEY_TAB, Qt::Key_Tab, "Tab"},
        {KEL_KEY_BACKTAB, Qt::Key_Backtab, "Backtab"},
        {KEL_KEY_BACKSPACE, Qt::Key_Backspace, "Backspace"},
        {KEL_KEY_RETURN, Qt::Key_Return, "Return"},
        {KEL_KEY_ENTER, Qt::Key_Enter, "Enter"},
        {KEL_KEY_INSERT, Qt::Key_Insert, "Insert"},
        {KEL_KEY_DELETE, Qt::Key_Delete, "Delete"},
        {KEL_KEY_PAUSE, Qt::Key_Pause, "Pause"},
        {KEL_KEY_PRINT, Qt::Key_Print, "Print"},
        {KEL_KEY_HOME, Qt::Key_Home, "Home"},
        {KEL_KEY_END, Qt::Key_End, "End"},
        {KEL_KEY_LEFT, Qt::Key_Left, "Left"},
        {KEL_KEY_UP, Qt::Key_Up, "Up"},
        {KEL_KEY_RIGHT, Qt::Key_Right, "Right"},
        {KEL_KEY_DOWN, Qt::Key_Down, "Down"},
        {KEL_KEY_PAGE_UP, Qt::Key_PageUp, "PageUp"},
        {KEL_KEY_PAGE_DOWN, Qt::Key_PageDown, "PageDown"},
        {KEL_KEY_SHIFT, Qt::Key_Shift, "Shift"},
        {KEL_KEY_CONTROL, Qt::Key_Control, "Control"},
        {KEL_KEY_META, Qt::Key_Meta, "Meta"},
        {KEL_KEY_ALT, Qt::Key_Alt, "Alt"},
        {KEL_KEY_CAPS_LOCK, Qt::Key_CapsLock, "CapsLock"},
        {KEL_KEY_NUM_LOCK, Qt::Key_NumLock, "NumLock"},
        {KEL_KEY_SCROLL_LOCK, Qt::Key_ScrollLock, "ScrollLock"},
        {KEL_KEY_F1, Qt::Key_F1, "F1"},
        {KEL_KEY_F12, Qt::Key_F12, "F12"},
        {KEL_KEY_MENU, Qt::Key_Menu, "Menu"},
        {KEL_KEY_SPACE, Qt::Key_Space, "Space"},
    };
    for (const Expect &c : cases)
        EXPECT_EQ(c.from, c.qtKey) << c.name;
    EXPECT_EQ(KEL_KEY_F1 + 4, Qt::Key_F5);
    EXPECT_EQ(KEL_KEY_F1 + 23, Qt::Key_F24);
    EXPECT_EQ(KEL_MOD_META, kModMeta);
    EXPECT_EQ(KEL_MOD_SHIFT, kModShift);
    EXPECT_EQ(KEL_MOD_CONTROL, kModControl);
    EXPECT_EQ(KEL_MOD_ALT, kModAlt);
    EXPECT_EQ(qtKeyFromSdl(SDLK_PAGEDOWN), KEL_KEY_PAGE_DOWN);
}

} // namespace
