#include "ShotOptions.h"

#include "Address.h"

#include "TextureSize.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace KEL {
namespace Shot {

namespace {

// Applies an option's value; returns an error text, empty when the value is good.
using Apply = std::function<std::string(Options &, const std::string &)>;

struct OptionSpec {
    const char *name;
    const char *value; // nullptr: the option takes no value
    const char *meaning;
    Apply apply;
};

bool parseNumber(const std::string &text, int *out) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::atoi(text.c_str());
    return true;
}

std::string parseSize(Options &o, const std::string &text) {
    const size_t x = text.find('x');
    int w = 0, h = 0;
    if (x == std::string::npos || !parseNumber(text.substr(0, x), &w) ||
        !parseNumber(text.substr(x + 1), &h))
        return "--size wants WIDTHxHEIGHT, such as 1024x768";
    // The browser would clamp other sizes silently; say so instead of writing a picture of a
    // size nobody asked for.
    const int lo = int(kMinViewSide), hi = kMaxShotSide;
    if (w < lo || w > hi || h < lo || h > hi)
        return "--size: each side must be " + std::to_string(lo) + " to " + std::to_string(hi) +
               " pixels";
    o.width = w;
    o.height = h;
    return {};
}

std::string parseScale(Options &o, const std::string &text) {
    static const struct {
        const char *text;
        int percent;
    } kScales[] = {{"1", 100}, {"1.0", 100}, {"1.5", 150}, {"2", 200}, {"2.0", 200}};
    for (const auto &scale : kScales) {
        if (text == scale.text) {
            o.scalePercent = scale.percent;
            return {};
        }
    }
    return "--scale wants 1, 1.5 or 2";
}

Apply milliseconds(int Options::*field, const char *name) {
    return [field, name](Options &o, const std::string &text) -> std::string {
        if (!parseNumber(text, &(o.*field)))
            return std::string(name) + " wants a number of milliseconds";
        return {};
    };
}

Apply text(std::string Options::*field) {
    return [field](Options &o, const std::string &value) -> std::string {
        o.*field = value;
        return {};
    };
}

Apply flag(bool Options::*field) {
    return [field](Options &o, const std::string &) -> std::string {
        o.*field = true;
        return {};
    };
}

const std::vector<OptionSpec> &optionTable() {
    static const std::vector<OptionSpec> table = {
        {"--size", "WxH", "view size in pixels, 128 to 4096 a side (default 1024x768)", parseSize},
        {"--scale", "1|1.5|2",
         "device scale factor: the page is laid out at --size and painted (and written) this "
         "much larger, at most 4096 pixels a side (default 1)",
         parseScale},
        {"--html", "FILE", "show the HTML text of FILE (no address: relative links go nowhere)",
         text(&Options::htmlFile)},
        {"--out", "FILE.png", "where the picture goes (default kelshot.png)", text(&Options::out)},
        {"--timeout", "MS", "give up when the page has not finished loading (default 30000)",
         milliseconds(&Options::timeoutMs, "--timeout")},
        {"--wait", "MS",
         "keep taking frames this long after the load and --eval, for pages that animate in",
         milliseconds(&Options::waitMs, "--wait")},
        {"--engine", "wpe|qtwebkit",
         "the web engine: WPE WebKit (today's web, WebGL; the default where it is built) or "
         "QtWebKit (lighter, older); default: KEL_ENGINE, else wpe",
         [](Options &o, const std::string &v) -> std::string {
             if (v != "wpe" && v != "qtwebkit")
                 return "--engine wants wpe or qtwebkit";
             o.engine = v;
             return {};
         }},
        {"--transparent", nullptr, "transparent page background: alpha 0 where nothing is drawn",
         flag(&Options::transparent)},
        {"--eval", "SCRIPT",
         "run SCRIPT once the page has loaded; its value goes to stdout as JSON, one "
         "line each (undefined and functions as null; repeatable)",
         [](Options &o, const std::string &v) -> std::string {
             o.scripts.push_back(v);
             return {};
         }},
        {"--log", "FILE", "append the browser's own output to FILE (default: discarded)",
         text(&Options::log)},
        {"--quiet", nullptr, "print nothing on stderr but errors", flag(&Options::quiet)},
        {"--help", nullptr, "show this text", nullptr},
        {"--version", nullptr, "show the version", nullptr},
    };
    return table;
}

// A scheme such as "http:" or "about:" makes the argument an address.
bool hasScheme(const std::string &text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

// The kit's address rule (Address.h), files first: "notes:draft.html" in the current folder is
// a file. kelshot guesses no host name: text that is neither a file nor an address of the
// rule's kinds must carry a scheme of its own.
std::string addressFor(const std::string &argument, std::string *error) {
    const Host::Address address = Host::addressFor(argument);
    switch (address.kind) {
    case Host::AddressKind::Folder:
        *error = argument + " is a folder, not a page";
        return {};
    case Host::AddressKind::File:
        if (access(argument.c_str(), R_OK) != 0) {
            *error = "cannot read " + argument + ": " + std::strerror(errno);
            return {};
        }
        return address.address;
    case Host::AddressKind::Given:
        return address.address;
    case Host::AddressKind::Host:
        break;
    }
    if (hasScheme(argument))
        return argument;
    *error = "no such file: " + argument + " (an address needs its scheme, such as http://)";
    return {};
}

Parsed fail(const std::string &error) {
    Parsed parsed;
    parsed.action = Action::Error;
    parsed.error = error;
    return parsed;
}

} // namespace

Parsed parseArguments(int argc, char **argv, const std::string &demoAddress) {
    Parsed parsed;
    std::string positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-' || arg == "-") {
            if (!positional.empty())
                return fail("more than one address: " + positional + " and " + arg);
            positional = arg;
            continue;
        }
        if (arg == "--help")
            return Parsed{Action::Help, {}, {}};
        if (arg == "--version")
            return Parsed{Action::Version, {}, {}};
        const OptionSpec *option = nullptr;
        for (const OptionSpec &candidate : optionTable())
            if (arg == candidate.name)
                option = &candidate;
        if (!option || !option->apply)
            return fail("unknown option " + arg);
        std::string value;
        if (option->value) {
            if (i + 1 >= argc)
                return fail(arg + " wants " + option->value);
            value = argv[++i];
        }
        if (std::string error = option->apply(parsed.options, value); !error.empty())
            return fail(error);
    }
    Options &o = parsed.options;
    if (int64_t(o.width) * o.scalePercent > int64_t(kMaxShotSide) * 100 ||
        int64_t(o.height) * o.scalePercent > int64_t(kMaxShotSide) * 100)
        return fail("--size times --scale must stay within " + std::to_string(kMaxShotSide) +
                    " pixels a side");
    if (!positional.empty() && !o.htmlFile.empty())
        return fail("give either an address or --html, not both");
    if (!positional.empty()) {
        std::string error;
        o.address = addressFor(positional, &error);
        if (o.address.empty())
            return fail(error);
    } else if (o.htmlFile.empty()) {
        if (demoAddress.empty())
            return fail("no address given and the demo page was not found next to kelshot");
        o.address = demoAddress;
    }
    return parsed;
}

std::string helpText() {
    std::ostringstream text;
    text << "usage: kelshot [options] [ADDRESS | FILE]\n\n"
            "Renders a page with KEL, exactly as a game receives it, and saves it as a PNG.\n"
            "FILE becomes a file address; with neither, the bundled demo page is rendered.\n"
            "Title, final address and console messages go to stderr; --eval values to stdout.\n\n"
            "options:\n";
    for (const OptionSpec &option : optionTable()) {
        std::string head =
            std::string(option.name) + (option.value ? std::string(" ") + option.value : "");
        head.resize(std::max<size_t>(head.size() + 1, 20), ' ');
        text << "  " << head << option.meaning << "\n";
    }
    text << "\nexit codes:\n"
            "  0  the picture was written\n"
            "  1  the browser did not answer a request\n"
            "  2  bad options, or an input file that cannot be read\n"
            "  3  the page did not finish loading in time\n"
            "  4  the browser program is missing or cannot start\n"
            "  5  the browser died while loading or rendering\n"
            "  6  the picture cannot be written\n"
            "  7  the page (--html) or a script is too large for the data segment (1 MiB)\n"
            "  8  the page could not be fetched (refused, unknown host, blocked port, ...);\n"
            "     a page the server sends with an HTTP error status is written as usual\n"
            "  9  an --eval script threw (its error on stderr)\n"
            "  130  interrupted\n";
    return text.str();
}

std::string fileAddress(const std::string &path) {
    const Host::Address address = Host::addressFor(path);
    return address.kind == Host::AddressKind::File ? address.address : std::string();
}

} // namespace Shot
} // namespace KEL
