#pragma once
// Every command code that travels between the host and the browser process, in one table:
// code, direction, handler (requests only) and meaning. The command loop routes by it, log
// lines take their names from it, and the code constants below come from it, so a code exists
// in exactly one place.

#include "core/Handlers.h"

#include <cstring>

namespace KEL {

// Requests come first, in the order the command loop tests them; then the notices, which the
// browser process only sends (a host that sends one gets -1 like any unknown code).
#define KEL_COMMAND_CATALOGUE(X)                                                                   \
    X(INIT, Request, handleInit, "host process identifier; answered by BOOT")                      \
    X(CRVW, Request, handleCreateView, "create a view")                                            \
    X(RMVW, Request, handleRemoveView, "remove a view")                                            \
    X(SCRL, Request, handleScroll, "scroll the main frame to a position")                          \
    X(SVCK, Request, handleSaveCookies, "save cookies to the cookie store")                        \
    X(CLCK, Request, handleClearCookies, "delete all cookies")                                     \
    X(LOAD, Request, handleLoad, "load an address")                                                \
    X(HFWD, Request, handleForward, "history forward")                                             \
    X(HBAK, Request, handleBack, "history back")                                                   \
    X(IMES, Request, handleSetTextField, "set the focused text field's value")                     \
    X(HTML, Request, handleHtml, "show HTML text as the page")                                     \
    X(EVJS, Request, handleEvaluate, "evaluate script in the main frame")                          \
    X(SACT, Request, handleSetActive, "set whether the view is painted")                           \
    X(KEYD, Request, handleKeyDown, "key pressed")                                                 \
    X(KEYU, Request, handleKeyUp, "key released")                                                  \
    X(MPOS, Request, handleMouseMove, "mouse moved")                                               \
    X(RSIZ, Request, handleResize, "resize a view")                                                \
    X(EXIT, Request, handleExit, "end the browser process")                                        \
    X(MPRS, Request, handleMousePress, "mouse button pressed")                                     \
    X(MREL, Request, handleMouseRelease, "mouse button released")                                  \
    X(MSCL, Request, handleMouseScroll, "scroll vertically by an amount")                          \
    X(SETP, Request, handleSetProperty, "set a string property of a bridge object")                \
    X(ADDO, Request, handleAddObject, "create a named bridge object")                              \
    X(SSMR, Request, handleSetPartialUpdates, "allow partial frame deliveries")                    \
    X(SMSK, Request, handleSetTransparent, "transparent page background")                          \
    X(DSMR, Request, handleDebugPartialUpdates, "outline partial deliveries (all views)")          \
    X(PING, Request, handlePing, "keep-alive while no host process is known")                      \
    X(ALWP, Request, handleAllowPopups, "let page script open popup views")                        \
    X(PRXY, Request, handleProxy, "set the SOCKS 5 proxy")                                         \
    X(AUTH, Request, handleAuthentication, "credentials for server authentication")                \
    X(PRUP, Notice, nullptr, "browser process is up")                                              \
    X(BOOT, Notice, nullptr, "WebKit and Qt versions, after INIT")                                 \
    X(UPVW, Notice, nullptr, "a frame of the view waits in the texture buffer")                    \
    X(UPCZ, Notice, nullptr, "page contents size changed")                                         \
    X(PROG, Notice, nullptr, "load progress")                                                      \
    X(LDFN, Notice, nullptr, "load finished and its frame delivered")                              \
    X(TITC, Notice, nullptr, "title changed")                                                      \
    X(URLC, Notice, nullptr, "address changed")                                                    \
    X(ICNC, Notice, nullptr, "page icon changed")                                                  \
    X(IMEI, Notice, nullptr, "a text field got the focus")                                         \
    X(IMEO, Notice, nullptr, "the text field lost the focus")                                      \
    X(POPU, Notice, nullptr, "a popup view was created")                                           \
    X(POPC, Notice, nullptr, "page script asked to close a popup view")                            \
    X(JLOG, Notice, nullptr, "script console message")                                             \
    X(INVK, Notice, nullptr, "page script called invoke on a bridge object")

enum class Direction : uint8_t { Request, Notice };

struct CommandInfo {
    const char *code;
    Direction direction;
    Handler handler; // null for notices
    const char *meaning;
};

#define KEL_CATALOGUE_ENTRY(code, direction, handler, meaning)                                     \
    CommandInfo{#code, Direction::direction, handler, meaning},
inline constexpr CommandInfo kCommandCatalogue[] = {KEL_COMMAND_CATALOGUE(KEL_CATALOGUE_ENTRY)};
#undef KEL_CATALOGUE_ENTRY

// Code constants (Code::PRUP is "PRUP"): a misspelt code is a compile error, not a silent
// mismatch on the wire.
namespace Code {
#define KEL_CATALOGUE_CODE(code, direction, handler, meaning) inline constexpr char code[] = #code;
KEL_COMMAND_CATALOGUE(KEL_CATALOGUE_CODE)
#undef KEL_CATALOGUE_CODE
} // namespace Code

namespace CatalogueCheck {
constexpr bool isFourUpperCaseLetters(const char *code) {
    for (int i = 0; i < 4; ++i) {
        if (code[i] < 'A' || code[i] > 'Z')
            return false;
    }
    return code[4] == '\0';
}
constexpr bool sameCode(const char *a, const char *b) {
    for (int i = 0; i < 4; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}
constexpr bool codesWellFormed() {
    for (const CommandInfo &info : kCommandCatalogue) {
        if (!isFourUpperCaseLetters(info.code))
            return false;
    }
    return true;
}
constexpr bool codesDistinct() {
    constexpr size_t count = sizeof kCommandCatalogue / sizeof kCommandCatalogue[0];
    for (size_t i = 0; i < count; ++i) {
        for (size_t j = i + 1; j < count; ++j) {
            if (sameCode(kCommandCatalogue[i].code, kCommandCatalogue[j].code))
                return false;
        }
    }
    return true;
}
constexpr bool handlersMatchDirection() {
    for (const CommandInfo &info : kCommandCatalogue) {
        if ((info.direction == Direction::Request) != (info.handler != nullptr))
            return false;
    }
    return true;
}
} // namespace CatalogueCheck

static_assert(CatalogueCheck::codesWellFormed(), "every code is four upper-case ASCII letters");
static_assert(CatalogueCheck::codesDistinct(), "every code appears once");
static_assert(CatalogueCheck::handlersMatchDirection(),
              "every request has a handler and no notice has one");

// The catalogue entry of a received code: the first 4 bytes and the terminating NUL must
// match. Null when the code is in no row (or is not terminated within the record's field).
inline const CommandInfo *findCommand(const char (&code)[8]) {
    for (const CommandInfo &info : kCommandCatalogue) {
        if (std::memcmp(code, info.code, 5) == 0)
            return &info;
    }
    return nullptr;
}

} // namespace KEL
