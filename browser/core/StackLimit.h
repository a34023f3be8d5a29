#pragma once
// The main thread's stack, sized for deep documents.
//
// The engine's layout, style and painting code recurse once (or several times) per level of
// element nesting and never check the stack, so a page that nests a few ten thousand elements
// overflows the usual 8 MiB limit and the process dies with SIGSEGV. The GUI work must stay on
// the main thread, and a running process cannot move its main stack: the limit counts only
// when the kernel lays out a new program image. So, at the very start, before any thread or
// library state exists, the process raises its soft RLIMIT_STACK and executes itself again
// once (an environment mark prevents a second round). The raised limit is not handed on:
// other threads keep the usual default stack size.

#include <cstddef>
#include <sys/resource.h>

namespace KEL {

// The stack the main thread gets: enough for 100000 nested elements with a wide margin. It is
// address space, not memory: pages are only used as deep as the page really recurses.
constexpr rlim_t kMainStackBytes = rlim_t(256) << 20;
// Stack size of every other thread (the limit it would otherwise inherit is the main one).
constexpr size_t kThreadStackBytes = size_t(8) << 20;

// Raises the soft limit for the program this process executes next (KELBrowser's launcher
// does this, so the engine's program need not execute itself again). False when it is already
// large enough or cannot be raised further.
bool raiseMainStackLimit();

// Returns only when the stack is already large enough, the limit cannot be raised (the hard
// limit is lower: then as much as it allows is used for the next run) or re-executing failed;
// otherwise the process image is replaced (same process id, same arguments and environment).
void ensureMainStack(char **argv);

} // namespace KEL
