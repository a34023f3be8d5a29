#pragma once
// Every command code that travels between the host and the browser process, in one table that
// both sides compile: code, direction, argument counts, which integer pairs name payloads, and
// what the record means and carries. The browser routes requests by it (its handler table is
// checked against this one), notices take their counts from it, the host kit frees payloads by
// it, tools and tests spell codes through the constants below, and `kelcodes` prints it.
//
// Counts: for a notice, the intCount / strCount the browser sets on every record it builds
// (kVariable: the record says, as INVK's 2n + 1); for a request, the arguments the browser
// reads (the browser itself reads a request's strCount only for LOAD and PRXY). Payloads: bit
// i set means intArgs[i] and intArgs[i + 1] name a data-buffer slot and a byte length; the
// record's receiver moves them out (which frees the slot). Reply payloads: the pairs a reply
// names that its handler filled (EVJS's value). A request's own payloads are gone by the time
// its reply comes back (the browser took them), so the reply names none of them: those pairs
// come back as slot -1, length 0.
//
// The notices that concern a view but whose first string is taken (INVK) or which had no
// strings (JLOG, POPU, POPC) carry the view's name as a string after the ones they have, so a
// host that reads only the first arguments sees no change.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace KEL {

constexpr int8_t kVariable = -1;

constexpr uint16_t payloadAt(int first) {
    return static_cast<uint16_t>(1u << first);
}
// INVK's arguments 0..6 sit in intArgs[1 + 2k], intArgs[2 + 2k] when present.
constexpr uint16_t kInvokeArgumentPayloads = payloadAt(1) | payloadAt(3) | payloadAt(5) |
                                             payloadAt(7) | payloadAt(9) | payloadAt(11) |
                                             payloadAt(13);

// X(code, direction, intCount, strCount, payload bits, reply payload bits, meaning, fields)
// Requests first, then the notices.
#define KEL_COMMAND_CODES(X)                                                                       \
    X(INIT, Request, 1, 0, 0, 0, "tell the browser the host's process",                            \
      "i0 host process id (-1: "                                                                   \
      "keep alive by PING); no "                                                                   \
      "reply, BOOT follows")                                                                       \
    X(CRVW, Request, 3, 1, 0, 0, "create a view",                                                  \
      "s0 name; i0 width; i1 height; i2 partial deliveries (flag); 1, or -1 if the name exists")   \
    X(RMVW, Request, 0, 1, 0, 0, "remove a view", "s0 name; 1, or -1 if there is no such view")    \
    X(SCRL, Request, 2, 1, 0, 0, "scroll the main frame to a position", "s0 view; i0 x; i1 y")     \
    X(SVCK, Request, 0, 0, 0, 0, "save cookies to the cookie store", "-")                          \
    X(CLCK, Request, 0, 0, 0, 0, "delete all cookies, stored ones included", "-")                  \
    X(LOAD, Request, 0, kVariable, 0, 0, "load an address",                                        \
      "s0 view; s1..s(strCount-1) the address, split and joined in order")                         \
    X(HFWD, Request, 0, 1, 0, 0, "history forward", "s0 view")                                     \
    X(HBAK, Request, 0, 1, 0, 0, "history back", "s0 view")                                        \
    X(IMES, Request, 2, 1, payloadAt(0), 0, "set the focused text field's value",                  \
      "s0 view; i0,i1 text payload; no reply")                                                     \
    X(HTML, Request, 2, 1, payloadAt(0), 0, "show HTML text as the page",                          \
      "s0 view; i0,i1 text payload")                                                               \
    X(EVJS, Request, 2, 1, payloadAt(0), payloadAt(0), "evaluate script in the main frame",        \
      "s0 view; i0,i1 script payload; reply i0,i1 the value as a text payload (-1, 0 when the "    \
      "view does not exist)")                                                                      \
    X(SACT, Request, 1, 1, 0, 0, "set whether the view is painted", "s0 view; i0 flag")            \
    X(KEYD, Request, 2, 2, 0, 0, "key pressed",                                                    \
      "s0 view; i0 Qt key; i1 modifiers (1 Meta, 2 Shift, 4 Control, 8 Alt); s1 text; "            \
      "no reply for Tab")                                                                          \
    X(KEYU, Request, 2, 2, 0, 0, "key released", "as KEYD")                                        \
    X(MPOS, Request, 2, 1, 0, 0, "mouse moved", "s0 view; i0 x; i1 y")                             \
    X(RSIZ, Request, 2, 1, 0, 0, "resize a view",                                                  \
      "s0 view; i0 width; i1 height; 2 when the texture size changed")                             \
    X(EXIT, Request, 0, 0, 0, 0, "end the browser process", "-")                                   \
    X(MPRS, Request, 3, 1, 0, 0, "mouse button pressed",                                           \
      "s0 view; i0 x; i1 y; i2 button (1 right, 2 middle, else left)")                             \
    X(MREL, Request, 3, 1, 0, 0, "mouse button released", "as MPRS")                               \
    X(MSCL, Request, 1, 1, 0, 0, "scroll vertically by an amount",                                 \
      "s0 view; i0 amount subtracted from the scroll position")                                    \
    X(SETP, Request, 0, 3, 0, 0, "set a string property of a bridge object",                       \
      "s0 object; s1 property; s2 value")                                                          \
    X(ADDO, Request, 0, 2, 0, 0, "create a named bridge object",                                   \
      "s0 object name; s1 origins beyond the trusted ones that get it (space-separated, * all)")   \
    X(SSMR, Request, 1, 1, 0, 0, "allow partial frame deliveries", "s0 view; i0 flag")             \
    X(SMSK, Request, 1, 1, 0, 0, "transparent page background", "s0 view; i0 flag")                \
    X(DSMR, Request, 1, 0, 0, 0, "outline partial deliveries (all views)", "i0 flag")              \
    X(PING, Request, 0, 0, 0, 0, "keep-alive while no host process is known", "-")                 \
    X(ALWP, Request, 1, 0, 0, 0, "let page script open popup views", "i0 flag")                    \
    X(PRXY, Request, 1, kVariable, 0, 0, "set the SOCKS 5 proxy",                                  \
      "s0 host; i0 port (low 16 bits); s1 user if strCount >= 2; s2 password if strCount >= 3")    \
    X(AUTH, Request, 0, 2, 0, 0, "credentials for server authentication", "s0 user; s1 password")  \
    X(RATE, Request, 2, 1, 0, 0, "paint the view into its own frame area at a rate",               \
      "s0 view; i0 frames per second 0..60 (0: only on FRAM); i1 scale in percent: 100, 150 or "   \
      "200; 1, or -1 for a value out of range, a painted side above 4096 or no such view")         \
    X(FRAM, Request, 0, 1, 0, 0, "paint and publish a frame of a frame-area view now",             \
      "s0 view; 1, or -1 if the view has no frame area")                                           \
    X(PRUP, Notice, 0, 0, 0, 0, "browser process is up", "-")                                      \
    X(BOOT, Notice, 1, 2, 0, 0, "versions, after each INIT",                                       \
      "i0 0; s0 WebKit version; s1 Qt "                                                            \
      "version")                                                                                   \
    X(UPVW, Notice, 0, 1, 0, 0, "a frame of the view waits in the texture buffer", "s0 view")      \
    X(UPCZ, Notice, 2, 1, 0, 0, "page contents size changed", "s0 view; i0 width; i1 height")      \
    X(PROG, Notice, 1, 1, 0, 0, "load progress", "s0 view; i0 percent")                            \
    X(LDFN, Notice, 0, 1, 0, 0, "load finished and its frame delivered", "s0 view")                \
    X(TITC, Notice, 0, 2, 0, 0, "title changed", "s0 view; s1 title")                              \
    X(URLC, Notice, 2, 1, payloadAt(0), 0, "address changed",                                      \
      "s0 view; i0,i1 address payload with its zero unit")                                         \
    X(ICNC, Notice, 2, 1, payloadAt(0), 0, "page icon changed", "s0 view; i0,i1 PNG payload")      \
    X(IMEI, Notice, 6, 2, payloadAt(0), 0, "a text field got the focus",                           \
      "s0 view; s1 field type; i0,i1 text payload (-1, 0 when empty); i2..i5 left, top, width, "   \
      "height")                                                                                    \
    X(IMEO, Notice, 0, 0, 0, 0, "the text field lost the focus", "s0 view (strCount 0)")           \
    X(POPU, Notice, 4, 1, payloadAt(0), 0, "a popup view was created",                             \
      "i0,i1 view name payload; i2 800; i3 600; s0 the view whose page opened it")                 \
    X(POPC, Notice, 2, 1, payloadAt(0), 0, "page script asked to close a popup view",              \
      "i0,i1 view name payload; s0 the same name")                                                 \
    X(JLOG, Notice, 5, 1, payloadAt(0) | payloadAt(3), 0, "script console message",                \
      "i0,i1 message payload; i2 line; i3,i4 source payload; s0 view")                             \
    X(INVK, Notice, kVariable, 3, kInvokeArgumentPayloads, 0,                                      \
      "page script called invoke on a bridge object",                                              \
      "s0 object; s1 method; s2 view; i0 n (last argument given + 1); argument k in "              \
      "i(1+2k),i(2+2k), slot -1 and length 0 for an undefined one; intCount 2n+1")

enum class Direction : uint8_t { Request, Notice };

struct CodeInfo {
    const char *code;
    Direction direction;
    int8_t intCount; // kVariable when the record says
    int8_t strCount;
    uint16_t payloads;      // bit i: intArgs[i], intArgs[i + 1] name a payload
    uint16_t replyPayloads; // the same for the reply to a request
    const char *meaning;
    const char *fields;
};

#define KEL_CODE_ROW(code, direction, ints, strs, payloads, replyPayloads, meaning, fields)        \
    CodeInfo{#code, Direction::direction, ints, strs, payloads, replyPayloads, meaning, fields},
inline constexpr CodeInfo kCodeTable[] = {KEL_COMMAND_CODES(KEL_CODE_ROW)};
#undef KEL_CODE_ROW
inline constexpr size_t kCodeCount = sizeof kCodeTable / sizeof kCodeTable[0];

// Code constants (Code::PRUP is "PRUP"): a misspelt code is a compile error, not a silent
// mismatch on the wire.
namespace Code {
#define KEL_CODE_CONSTANT(code, direction, ints, strs, payloads, replyPayloads, meaning, fields)   \
    inline constexpr char code[] = #code;
KEL_COMMAND_CODES(KEL_CODE_CONSTANT)
#undef KEL_CODE_CONSTANT
} // namespace Code

namespace CodeTableCheck {
constexpr bool sameCode(const char *a, const char *b) {
    for (int i = 0; i < 5; ++i) {
        if (a[i] != b[i])
            return false;
        if (a[i] == '\0')
            return true;
    }
    return true;
}
constexpr bool fourUpperCaseLetters(const char *code) {
    for (int i = 0; i < 4; ++i) {
        if (code[i] < 'A' || code[i] > 'Z')
            return false;
    }
    return code[4] == '\0';
}
constexpr bool countsFit(const CodeInfo &info) {
    return info.intCount >= kVariable && info.intCount <= 16 && info.strCount >= kVariable &&
           info.strCount <= 16;
}
constexpr bool payloadsFit(const CodeInfo &info) {
    // A pair needs both of its integers; a fixed count must cover every pair it declares.
    for (int i = 0; i < 16; ++i) {
        if ((info.payloads & (1u << i)) == 0)
            continue;
        if (i + 1 >= 16 || (info.intCount != kVariable && i + 2 > info.intCount))
            return false;
    }
    return true;
}
constexpr bool wellFormed() {
    for (const CodeInfo &info : kCodeTable) {
        if (!fourUpperCaseLetters(info.code) || !countsFit(info) || !payloadsFit(info))
            return false;
    }
    return true;
}
constexpr bool distinct() {
    for (size_t i = 0; i < kCodeCount; ++i) {
        for (size_t j = i + 1; j < kCodeCount; ++j) {
            if (sameCode(kCodeTable[i].code, kCodeTable[j].code))
                return false;
        }
    }
    return true;
}
} // namespace CodeTableCheck

static_assert(CodeTableCheck::wellFormed(),
              "every code is four upper-case letters with counts and payload pairs that fit");
static_assert(CodeTableCheck::distinct(), "every code appears once");

// Index of a code's row, or -1 (usable at compile time).
constexpr int codeIndex(const char *code) {
    for (size_t i = 0; i < kCodeCount; ++i) {
        if (CodeTableCheck::sameCode(kCodeTable[i].code, code))
            return static_cast<int>(i);
    }
    return -1;
}

// The row of a code given as text (a constant from Code::), or null.
inline const CodeInfo *findCode(const char *code) {
    const int index = codeIndex(code);
    return index < 0 ? nullptr : &kCodeTable[index];
}

// The row of a received code: the first four bytes and the terminating NUL must match. Null
// when the code is in no row (or is not terminated within the record's field).
inline const CodeInfo *findReceivedCode(const char (&code)[8]) {
    for (const CodeInfo &info : kCodeTable) {
        if (std::memcmp(code, info.code, 5) == 0)
            return &info;
    }
    return nullptr;
}

} // namespace KEL
