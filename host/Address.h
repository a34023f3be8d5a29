#pragma once
// What a user gives a tool (a file, an address, a host name) as the address a view loads. One
// rule for kelshot, kelview and the LÖVE example (examples/love/address.lua mirrors it):
//
// 1. An existing file or folder: "file://" and its absolute path with symbolic links resolved,
//    every byte but A-Z a-z 0-9 - . _ ~ / percent-encoded (a path with spaces, '#' or '?'
//    must not turn into another address).
// 2. Text containing "://", or starting with "about:" or "data:": taken as it is.
// 3. Anything else: a host name (and path), "http://" in front.
//
// Files come first, so a file named like an address in the current folder is still a file.

#include <functional>
#include <string>

namespace KEL {
namespace Host {

enum class AddressKind { File, Folder, Given, Host };

struct Address {
    AddressKind kind = AddressKind::Host;
    std::string address;
};

// `resolve` turns a path into its absolute form with links resolved and says whether it is a
// folder; false when nothing exists there. The default asks the file system.
using PathResolver =
    std::function<bool(const std::string &path, std::string *absolute, bool *folder)>;
Address addressFor(const std::string &input, const PathResolver &resolve = {});

// "file://" and an absolute path, percent-encoded as in rule 1.
std::string fileAddress(const std::string &absolutePath);

} // namespace Host
} // namespace KEL
