#pragma once
// Key translation for hosts: SDL key codes and Windows virtual-key codes to the Qt key values
// that KEYD and KEYU carry, and the hosts' modifier states to the request's modifier bits.
//
// The values are written out so that hosts never need Qt's or SDL's headers. Only the key code
// comes from here: the text a key types belongs in KEYD's strArgs[1] and should come from the
// host's own text input (SDL_TEXTINPUT, WM_CHAR, love.textinput), which knows the keyboard
// layout, dead keys and input methods. Keys that type text and have no code of their own in
// the tables (letters of other layouts) map to their upper-case Latin-1 value, as in Qt.

#include <cstdint>

namespace KEL {
namespace Host {

// Modifier bits of KEYD / KEYU intArgs[1].
enum ModifierBits : int32_t {
    kModMeta = 1,
    kModShift = 2,
    kModControl = 4,
    kModAlt = 8,
};

// A few Qt key values that hosts test for themselves.
namespace QtKey {
constexpr int32_t Escape = 0x01000000;
constexpr int32_t Tab = 0x01000001;
constexpr int32_t Backspace = 0x01000003;
constexpr int32_t Return = 0x01000004;
constexpr int32_t Enter = 0x01000005;
constexpr int32_t Left = 0x01000012;
constexpr int32_t Right = 0x01000014;
constexpr int32_t F5 = 0x01000034;
constexpr int32_t L = 0x4C;
} // namespace QtKey

struct KeyMapping {
    int32_t from; // SDL_Keycode or Windows VK_* value
    int32_t qtKey;
};

// The Qt key for an SDL_Keycode (SDL 2), or 0 when Qt has no key for it.
int32_t qtKeyFromSdl(int32_t sdlKeycode);
// The Qt key for a Windows virtual-key code (VK_*), or 0 when Qt has no key for it.
int32_t qtKeyFromWindowsVirtualKey(int32_t virtualKey);

// Modifier bits from SDL's SDL_Keymod state (KMOD_*); the GUI keys count as Meta.
int32_t modifierBitsFromSdl(uint32_t sdlKeymod);
// Modifier bits from the states a Windows host reads (GetKeyState); the Windows keys are Meta.
int32_t modifierBits(bool shift, bool control, bool alt, bool meta);

// The tables themselves, for hosts that build their own lookups (sorted by `from`).
const KeyMapping *sdlKeyTable(int *count);
const KeyMapping *windowsKeyTable(int *count);

} // namespace Host
} // namespace KEL
