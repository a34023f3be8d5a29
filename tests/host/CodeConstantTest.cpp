// The C header's code constants against the code table: a code missing from the header does
// not compile here, a misspelt one fails.

#include "CommandCodes.h"
#include "KELPlugin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

TEST(CHeader, EveryCodeOfTheTableHasItsConstant) {
#define KEL_CHECK_CONSTANT(code, direction, ints, strs, payloads, replyPayloads, meaning, fields)  \
    EXPECT_STREQ(KEL_CODE_##code, #code);
    KEL_COMMAND_CODES(KEL_CHECK_CONSTANT)
#undef KEL_CHECK_CONSTANT
    // and no constant for a code the table does not have
    std::ifstream header(KEL_PLUGIN_HEADER);
    std::stringstream text;
    text << header.rdbuf();
    size_t constants = 0;
    for (size_t at = 0; (at = text.str().find("#define KEL_CODE_", at)) != std::string::npos; ++at)
        ++constants;
    EXPECT_EQ(constants, KEL::kCodeCount);
}

} // namespace
