// Texts in records and payloads as the browser reads and writes them. The bytes come from
// another process, so every case here is about not reading or writing past what is there.

#include "RecordText.h"
#include "core/HostLiveness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace KEL {
namespace {

Command zeroed() {
    Command command;
    std::memset(&command, 0, sizeof command);
    return command;
}

std::vector<uint8_t> bytesOf(const std::u16string &text) {
    std::vector<uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

// Guards string arguments: read to the first zero unit, and a slot without one is read
// whole and never into the next slot.
TEST(CommandText, StringArgumentsEndAtTheirFirstZeroOrTheirSlot) {
    Command command = zeroed();
    const std::u16string name = u"view \u00e9\u4e2d";
    std::memcpy(command.strArgs[0], name.data(), name.size() * 2);
    command.strArgs[0][name.size() + 1] = u'x'; // after the zero: not part of the text
    EXPECT_EQ(readStringArg(command, 0), name);

    for (int i = 0; i < kStrArgUnits; ++i)
        command.strArgs[3][i] = u'a';
    command.strArgs[4][0] = u'b';
    EXPECT_EQ(readStringArg(command, 3), std::u16string(256, u'a'));
    for (int i = 0; i < kStrArgUnits; ++i)
        command.strArgs[15][i] = u'z';
    EXPECT_EQ(readStringArg(command, 15).size(), 256u);

    EXPECT_TRUE(readStringArg(command, -1).empty());
    EXPECT_TRUE(readStringArg(command, 16).empty());
}

// Guards the browser's writing of strings: at most 125 units, the rest of the slot zeroed
// (whatever it held before), neighbouring slots untouched.
TEST(CommandText, WrittenStringsAreCutTo125UnitsAndZeroFilled) {
    Command command = zeroed();
    std::memset(command.strArgs, 0xFF, sizeof command.strArgs);
    writeStringArg(command, 1, std::u16string(200, u't'));
    for (int i = 0; i < kStrArgUnits; ++i)
        ASSERT_EQ(command.strArgs[1][i], i < 125 ? u't' : 0) << "unit " << i;
    EXPECT_EQ(command.strArgs[0][255], 0xFFFF);
    EXPECT_EQ(command.strArgs[2][0], 0xFFFF);

    writeStringArg(command, 2, u"short");
    EXPECT_EQ(readStringArg(command, 2), u"short");
    writeStringArg(command, 16, u"ignored"); // outside the record: nothing happens
    writeStringArg(command, -1, u"ignored");
}

// Guards payload decoding: little-endian units up to the first zero; without a zero every
// complete unit; an odd last byte dropped; nothing read past the given length.
TEST(CommandText, PayloadTextsNeverRunPastTheBytesReceived) {
    std::vector<uint8_t> bytes = bytesOf(u"6*7");
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.push_back('9');
    bytes.push_back(0);
    EXPECT_EQ(decodeTextPayload(bytes.data(), bytes.size()), u"6*7");
    EXPECT_EQ(decodeTextPayload(bytes.data(), 6), u"6*7");
    EXPECT_EQ(decodeTextPayload(bytes.data(), 5), u"6*");
    EXPECT_EQ(decodeTextPayload(bytes.data(), 1), u"");
    EXPECT_EQ(decodeTextPayload(bytes.data(), 0), u"");
    EXPECT_EQ(decodeTextPayload(nullptr, 10), u"");

    const std::vector<uint8_t> wide = bytesOf(u"\u4e2d\u00e9");
    EXPECT_EQ(wide[0], 0x2D);
    EXPECT_EQ(decodeTextPayload(wide.data(), wide.size()), u"\u4e2d\u00e9");
}

} // namespace
} // namespace KEL

// Guards the host watch: the tick and the watchdog thread apply one rule, counted in whole
// seconds on the monotonic clock.
TEST(HostLiveness, PingDeadlinesCountWholeSeconds) {
    using namespace std::chrono;
    const KEL::SteadyClock::time_point start{};
    const struct {
        bool pinged;
        milliseconds after;
        bool passed;
    } cases[] = {
        {false, 16999ms, false}, {false, 17000ms, true}, {true, 8999ms, false},
        {true, 9000ms, true},    {true, 0ms, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(KEL::pingDeadlinePassed(c.pinged, start, start + c.after), c.passed)
            << c.pinged << " " << c.after.count();
    EXPECT_FALSE(KEL::hostCheckDue(start, start + 2999ms));
    EXPECT_TRUE(KEL::hostCheckDue(start, start + 3000ms));
}
