// The address rule of the tools (host/Address.h) over the case table that the LÖVE example's
// copy of the rule is checked against too.

#include "Address.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

namespace KEL {
namespace Host {
namespace {

const char *kindName(AddressKind kind) {
    switch (kind) {
    case AddressKind::File:
        return "file";
    case AddressKind::Folder:
        return "folder";
    case AddressKind::Given:
        return "given";
    case AddressKind::Host:
        return "host";
    }
    return "?";
}

std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> out;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, '\t'))
        out.push_back(field);
    return out;
}

TEST(Address, FollowsTheSharedCaseTable) {
    std::ifstream cases(KEL_ADDRESS_CASES);
    ASSERT_TRUE(cases) << KEL_ADDRESS_CASES;
    std::map<std::string, std::pair<std::string, bool>> exists;
    const PathResolver resolve = [&](const std::string &path, std::string *absolute, bool *folder) {
        auto it = exists.find(path);
        if (it == exists.end())
            return false;
        *absolute = it->second.first;
        *folder = it->second.second;
        return true;
    };
    int checked = 0;
    for (std::string line; std::getline(cases, line);) {
        const std::vector<std::string> f = fields(line);
        if (f.size() == 4 && f[0] == "exists") {
            exists[f[1]] = {f[2], f[3] == "folder"};
        } else if (f.size() == 4 && f[0] == "case") {
            const Address address = addressFor(f[1], resolve);
            EXPECT_EQ(kindName(address.kind), f[2]) << f[1];
            EXPECT_EQ(address.address, f[3]) << f[1];
            ++checked;
        }
    }
    EXPECT_GT(checked, 10);
}

// The same rule over the real file system: a file here becomes its resolved, encoded path.
TEST(Address, ResolvesRealFiles) {
    char pattern[] = "/tmp/kel-address-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string file = std::string(pattern) + "/a page.html";
    std::ofstream(file) << "<p>x</p>";
    EXPECT_EQ(addressFor(file).address, fileAddress(pattern) + "/a%20page.html");
    EXPECT_EQ(addressFor(pattern).kind, AddressKind::Folder);
    std::remove(file.c_str());
    rmdir(pattern);
}

} // namespace
} // namespace Host
} // namespace KEL
