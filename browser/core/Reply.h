#pragma once
// What the command loop does with a record once its handler has run.

#include "Command.h"

#include <cstdint>

namespace KEL {

struct Reply {
    enum Kind : uint8_t {
        Post,            // set `result` and post the record back to the host
        PostThenExit,    // post the reply, then end the process (EXIT: the host hears first)
        Silent,          // no answer (INIT, IMES, replies to our own notices)
        SilentEndOfTick, // no answer, and no further record this tick (a Tab key on a view)
    };
    Kind kind;
    int32_t result;

    static constexpr Reply with(int32_t result) { return {Post, result}; }
    static constexpr Reply withThenExit(int32_t result) { return {PostThenExit, result}; }
    static constexpr Reply none() { return {Silent, 0}; }
    static constexpr Reply noneAndEndTick() { return {SilentEndOfTick, 0}; }
};

struct Request;

// A request handler (HandlerSupport.h has what a request holds).
using Handler = Reply (*)(Request &request);

} // namespace KEL
