#pragma once
// How the host's input records read as Qt input: button codes, modifier bits, the typed text
// and the Tab rule. Everything here takes the host's values as they come (any button value,
// key code or modifier bits, a text slot with or without its zero unit). QtCore only, so it is
// tested without the engine.

#include "Command.h"

#include <QString>
#include <Qt>

#include <cstdint>

namespace KEL {

// 1 right, 2 middle, anything else (0 included) left.
Qt::MouseButton hostButton(int32_t code);
// Bits 1 Meta, 2 Shift, 4 Control, 8 Alt, each on its own; other bits are ignored.
Qt::KeyboardModifiers hostModifiers(int32_t bits);
// String argument `index` up to its first zero unit, all 256 units when it has none.
QString recordText(const Command &command, int index);
// KEYD / KEYU that the browser treats as Tab: the Tab key by code, or a key without code whose
// text starts with a tab character.
bool isTabKey(const Command &command);

// Host coordinates are held to this range before they become event positions: no page is that
// large, and the integer rounding of the scene-to-view mapping stays defined for any input.
constexpr int32_t kMaxEventCoordinate = 1 << 24;
int32_t eventCoordinate(int32_t value);

} // namespace KEL
