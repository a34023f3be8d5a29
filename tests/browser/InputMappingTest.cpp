// How the host's input records read as Qt input, without the engine: the values come from
// another process, so every case takes values a host may send but should not.

#include "view/InputMapping.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace KEL {
namespace {

Command zeroed() {
    Command command;
    std::memset(&command, 0, sizeof command);
    return command;
}

// Guards the button table: only 1 and 2 name other buttons, every other value is the left one.
TEST(InputMapping, ButtonCodesOtherThanOneAndTwoAreTheLeftButton) {
    const struct {
        int32_t code;
        Qt::MouseButton button;
    } cases[] = {{0, Qt::LeftButton},       {1, Qt::RightButton},      {2, Qt::MiddleButton},
                 {3, Qt::LeftButton},       {-1, Qt::LeftButton},      {4, Qt::LeftButton},
                 {INT_MIN, Qt::LeftButton}, {INT_MAX, Qt::LeftButton}, {257, Qt::LeftButton}};
    for (const auto &c : cases)
        EXPECT_EQ(hostButton(c.code), c.button) << "button code " << c.code;
}

// Guards the modifier table: each of the four bits maps on its own for every combination, and
// no other bit (the sign bit included) adds anything.
TEST(InputMapping, ModifierBitsMapEachOnTheirOwn) {
    const Qt::KeyboardModifier byBit[] = {Qt::MetaModifier, Qt::ShiftModifier, Qt::ControlModifier,
                                          Qt::AltModifier};
    for (int32_t low = 0; low < 16; ++low) {
        Qt::KeyboardModifiers expected = Qt::NoModifier;
        for (int bit = 0; bit < 4; ++bit)
            if (low & (1 << bit))
                expected |= byBit[bit];
        for (int32_t high : {0, 0x10, 0x7FFFFFF0, INT_MIN, -16})
            EXPECT_EQ(hostModifiers(low | high), expected) << "bits " << (low | high);
    }
}

// Guards the typed text: it ends at its first zero unit, a slot without one is read whole
// (256 units) and never into the next slot, and an index outside the record gives no text.
TEST(InputMapping, TextEndsAtItsZeroUnitOrItsSlot) {
    Command command = zeroed();
    EXPECT_EQ(recordText(command, 1), QString());

    command.strArgs[1][0] = u'a';
    command.strArgs[1][1] = 0xD800; // a lone surrogate is passed on as it is
    command.strArgs[1][3] = u'x';   // after the zero: not part of the text
    EXPECT_EQ(recordText(command, 1), QString(QChar(u'a')) + QChar(0xD800));

    for (int i = 0; i < kStrArgUnits; ++i)
        command.strArgs[1][i] = u'z';
    command.strArgs[2][0] = u'n';
    EXPECT_EQ(recordText(command, 1), QString(kStrArgUnits, QChar(u'z')));
    for (int index : {-1, kStrArgCount, INT_MIN, INT_MAX})
        EXPECT_EQ(recordText(command, index), QString()) << "index " << index;
}

// Guards the Tab rule: the Tab key by code whatever its text, or key 0 whose text starts with
// a tab character; a tab later in the text or behind another key code is typed as usual.
TEST(InputMapping, TabIsTheTabKeyOrKeyZeroStartingWithATab) {
    const struct {
        int32_t key;
        const char16_t *text;
        bool tab;
    } cases[] = {{Qt::Key_Tab, u"", true},  {Qt::Key_Tab, u"x", true},
                 {0, u"\t", true},          {0, u"\tx", true},
                 {0, u"", false},           {0, u"x\t", false},
                 {Qt::Key_A, u"\t", false}, {Qt::Key_Backtab, u"", false},
                 {9, u"", false},           {-1, u"\t", false}};
    for (const auto &c : cases) {
        Command command = zeroed();
        command.intArgs[0] = c.key;
        std::memcpy(command.strArgs[1], c.text, std::char_traits<char16_t>::length(c.text) * 2);
        EXPECT_EQ(isTabKey(command), c.tab) << "key " << c.key;
    }
}

// Guards positions: any host value becomes a coordinate that the scene-to-view mapping can
// round without overflow, and ordinary ones are kept.
TEST(InputMapping, CoordinatesAreHeldToAMappableRange) {
    const struct {
        int32_t in, out;
    } cases[] = {{0, 0},
                 {-5, -5},
                 {1920, 1920},
                 {kMaxEventCoordinate, kMaxEventCoordinate},
                 {kMaxEventCoordinate + 1, kMaxEventCoordinate},
                 {INT_MAX, kMaxEventCoordinate},
                 {INT_MIN, -kMaxEventCoordinate}};
    for (const auto &c : cases)
        EXPECT_EQ(eventCoordinate(c.in), c.out) << "value " << c.in;
}

} // namespace
} // namespace KEL
