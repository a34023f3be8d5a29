#include "Address.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace KEL {
namespace Host {

namespace {

bool resolveOnDisk(const std::string &path, std::string *absolute, bool *folder) {
    struct stat info;
    if (path.empty() || stat(path.c_str(), &info) != 0)
        return false;
    char *resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return false;
    *absolute = resolved;
    std::free(resolved);
    *folder = S_ISDIR(info.st_mode);
    return true;
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

} // namespace

std::string fileAddress(const std::string &absolutePath) {
    static const char *hex = "0123456789ABCDEF";
    std::string address = "file://";
    for (unsigned char c : absolutePath) {
        if (unreserved(c)) {
            address.push_back(char(c));
        } else {
            address.push_back('%');
            address.push_back(hex[c >> 4]);
            address.push_back(hex[c & 15]);
        }
    }
    return address;
}

Address addressFor(const std::string &input, const PathResolver &resolve) {
    Address out;
    std::string absolute;
    bool folder = false;
    if (resolve ? resolve(input, &absolute, &folder) : resolveOnDisk(input, &absolute, &folder)) {
        out.kind = folder ? AddressKind::Folder : AddressKind::File;
        out.address = fileAddress(absolute);
    } else if (input.find("://") != std::string::npos || input.rfind("about:", 0) == 0 ||
               input.rfind("data:", 0) == 0) {
        out.kind = AddressKind::Given;
        out.address = input;
    } else {
        out.kind = AddressKind::Host;
        out.address = "http://" + input;
    }
    return out;
}

} // namespace Host
} // namespace KEL
