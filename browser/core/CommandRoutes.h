#pragma once
// Which handler answers each request. The codes, their directions and their fields live in the
// shared code table (CommandCodes.h); this table only routes, and is checked against that one
// at compile time: every request has exactly one handler and nothing else has one.

#include "CommandCodes.h"
#include "core/Handlers.h"

namespace KEL {

#define KEL_REQUEST_ROUTES(X)                                                                      \
    X(INIT, handleInit)                                                                            \
    X(CRVW, handleCreateView)                                                                      \
    X(RMVW, handleRemoveView)                                                                      \
    X(SCRL, handleScroll)                                                                          \
    X(SVCK, handleSaveCookies)                                                                     \
    X(CLCK, handleClearCookies)                                                                    \
    X(LOAD, handleLoad)                                                                            \
    X(HFWD, handleForward)                                                                         \
    X(HBAK, handleBack)                                                                            \
    X(IMES, handleSetTextField)                                                                    \
    X(HTML, handleHtml)                                                                            \
    X(EVJS, handleEvaluate)                                                                        \
    X(SACT, handleSetActive)                                                                       \
    X(KEYD, handleKeyDown)                                                                         \
    X(KEYU, handleKeyUp)                                                                           \
    X(MPOS, handleMouseMove)                                                                       \
    X(RSIZ, handleResize)                                                                          \
    X(EXIT, handleExit)                                                                            \
    X(MPRS, handleMousePress)                                                                      \
    X(MREL, handleMouseRelease)                                                                    \
    X(MSCL, handleMouseScroll)                                                                     \
    X(SETP, handleSetProperty)                                                                     \
    X(ADDO, handleAddObject)                                                                       \
    X(SSMR, handleSetPartialUpdates)                                                               \
    X(SMSK, handleSetTransparent)                                                                  \
    X(DSMR, handleDebugPartialUpdates)                                                             \
    X(PING, handlePing)                                                                            \
    X(ALWP, handleAllowPopups)                                                                     \
    X(PRXY, handleProxy)                                                                           \
    X(AUTH, handleAuthentication)                                                                  \
    X(RATE, handleSetFrameRate)                                                                    \
    X(FRAM, handlePaintFrame)

struct Route {
    const char *code;
    Handler handler;
};

#define KEL_ROUTE_ROW(code, handler) Route{Code::code, handler},
inline constexpr Route kRoutes[] = {KEL_REQUEST_ROUTES(KEL_ROUTE_ROW)};
#undef KEL_ROUTE_ROW

namespace RouteCheck {
constexpr bool everyRouteIsARequest() {
    for (const Route &route : kRoutes) {
        const int index = codeIndex(route.code);
        if (index < 0 || kCodeTable[index].direction != Direction::Request)
            return false;
    }
    return true;
}
constexpr int routesFor(const char *code) {
    int count = 0;
    for (const Route &route : kRoutes)
        count += CodeTableCheck::sameCode(route.code, code) ? 1 : 0;
    return count;
}
constexpr bool everyRequestRoutedOnce() {
    for (const CodeInfo &info : kCodeTable) {
        if (routesFor(info.code) != (info.direction == Direction::Request ? 1 : 0))
            return false;
    }
    return true;
}
} // namespace RouteCheck

static_assert(RouteCheck::everyRouteIsARequest(), "only requests are routed");
static_assert(RouteCheck::everyRequestRoutedOnce(), "every request has exactly one handler");

// The handler of a row of the code table; null for notices.
inline Handler handlerFor(const CodeInfo &info) {
    for (const Route &route : kRoutes) {
        if (route.code == info.code || CodeTableCheck::sameCode(route.code, info.code))
            return route.handler;
    }
    return nullptr;
}

} // namespace KEL
