#pragma once
// The command record shared by both processes. The host's header defines the layout once;
// the transport uses it under its own name.

#include "KELPlugin.h"

#include <cstdint>
#include <type_traits>

namespace KEL {

using Command = ::KEL_Command;
using TextureUpdate = ::KEL_TextureUpdate;

static_assert(std::is_trivially_copyable<Command>::value, "Command is copied as bytes");
static_assert(std::is_trivially_copyable<TextureUpdate>::value, "TextureUpdate is copied as bytes");

constexpr uint32_t kCommandSize = 8296;
static_assert(sizeof(Command) == kCommandSize, "Command layout");

// Replies and notices: argument slots and string length limits.
constexpr int kIntArgCount = KEL_COMMAND_INT_ARGS;
constexpr int kStrArgCount = KEL_COMMAND_STR_ARGS;
constexpr int kStrArgUnits = KEL_COMMAND_STR_UNITS;
// The browser process writes at most this many code units into a string argument.
constexpr int kBrowserStrArgUnits = 125;

// The two ends of the segments: 0 the plugin (host side), 1 the browser process. A buffer is
// opened for one side (SharedBuffer), which decides whether it creates or opens the segment and
// which records its `next` returns; a record's `origin` names the side that made it.
enum Side : uint32_t { HostSide = 0, BrowserSide = 1 };

} // namespace KEL
