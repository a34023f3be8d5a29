#pragma once
// Host keys as the WPE engine takes them: X keysyms. QtCore only, so it is tested without an
// engine.

#include <QString>
#include <Qt>

#include <cstdint>

namespace KEL {

// The keysym of Qt key `key` typing `text`. A key with a keysym of its own (editing, motion,
// function and keypad keys) gets it; any other key is the character it types (its text, else
// the key value itself when that is a character), as a Latin-1 or Unicode keysym; 0 when it is
// neither (a modifier alone, an unknown code).
uint32_t keysymFor(int key, const QString &text);

// wpe_input_keyboard_modifier bits for the host's modifiers.
uint32_t wpeModifiers(Qt::KeyboardModifiers modifiers);

} // namespace KEL
