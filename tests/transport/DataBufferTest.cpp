// The data segment: slot choice, payloads between processes, refusal of bad collections.

#include "TransportFixture.h"

using namespace KelTest;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(seed + i * 13 + (i >> 8));
    return bytes;
}

using DataBufferTest = TransportTest;

// Guards against wasting large slots on small payloads and against off-by-one class limits.
TEST_F(DataBufferTest, PayloadTakesTheHighestFreeSlotOfTheSmallestClassThatFits) {
    Bytes big = pattern(1 << 20, 1);
    EXPECT_EQ(data.allocateAndCopy(big.data(), 8192), 254);
    EXPECT_EQ(data.allocateAndCopy(big.data(), 8192), 253);
    EXPECT_EQ(data.allocateAndCopy(big.data(), 8193), 126);
    EXPECT_EQ(data.allocateAndCopy(big.data(), 0), 252);
    EXPECT_EQ(data.allocateAndCopy(big.data(), (1 << 20) + 1), -1);
    EXPECT_EQ(data.allocateAndCopy(big.data(), -1), -1);
    EXPECT_EQ(data.allocateAndCopy(big.data(), 1 << 20), 0);
    EXPECT_EQ(data.allocateAndCopy(big.data(), 1 << 20), -1);
}

// Guards against a full class failing the payload instead of moving up one class.
TEST_F(DataBufferTest, FullSmallClassSendsPayloadToTheNextClass) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    Bytes small = pattern(100, 2);
    for (int32_t expected = 254; expected >= 127; --expected)
        ASSERT_EQ(expected % 2 ? browser.allocateAndCopy(small)
                               : data.allocateAndCopy(small.data(), 100),
                  expected);
    EXPECT_EQ(data.allocateAndCopy(small.data(), 100), 126);
    EXPECT_EQ(browser.allocateAndCopy(small), 125);
}

// Guards against payload corruption between processes and against the browser's opening
// dropping payloads that the host stored before it.
TEST_F(DataBufferTest, PayloadsCrossBetweenProcessesIntact) {
    Bytes big = pattern(1 << 20, 3);
    ASSERT_EQ(data.allocateAndCopy(big.data(), int32_t(big.size())), 0);
    Bytes text = pattern(5000, 4);
    int32_t textSlot = data.allocateAndCopy(text.data(), int32_t(text.size()));

    Peer browser;
    ASSERT_TRUE(browser.open());
    EXPECT_EQ(browser.copyAndFree(0, 1 << 20), big);
    Bytes head(text.begin(), text.begin() + 10);
    EXPECT_EQ(browser.copyAndFree(textSlot, 10), head) << "collecting less than was stored";

    Bytes image = pattern(70000, 5);
    int32_t slot = browser.allocateAndCopy(image);
    ASSERT_EQ(slot, 14);
    Bytes received(image.size());
    EXPECT_TRUE(data.copyAndFree(slot, received.data(), int32_t(received.size())));
    EXPECT_EQ(received, image);
}

// Guards against reading outside the slot table or a slot, and against double collection.
TEST_F(DataBufferTest, CollectingRefusesBadIndexFreeSlotExcessLengthAndRepeats) {
    Bytes payload = pattern(100, 6);
    ASSERT_EQ(data.allocateAndCopy(payload.data(), 100), 254);
    Bytes out(16384, 0xAA);
    const Bytes untouched = out;
    EXPECT_FALSE(data.copyAndFree(255, out.data(), 100));
    EXPECT_FALSE(data.copyAndFree(-1, out.data(), 100));
    EXPECT_FALSE(data.copyAndFree(253, out.data(), 100));
    EXPECT_FALSE(data.copyAndFree(254, out.data(), 8193));
    EXPECT_FALSE(data.copyAndFree(254, out.data(), -1));
    EXPECT_EQ(out, untouched);

    EXPECT_TRUE(data.copyAndFree(254, out.data(), 100)) << "a refused call freed the slot";
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin()));
    EXPECT_FALSE(data.copyAndFree(254, out.data(), 100));
}

// Guards against trusting capacities that the other process can overwrite: the table lives in
// shared memory, the slot sizes do not.
TEST_F(DataBufferTest, CorruptedCapacityTableDoesNotWidenSlots) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    Bytes payload = pattern(100, 7);
    ASSERT_EQ(data.allocateAndCopy(payload.data(), 100), 254);
    const uint32_t huge = 0x7FFFFFFF;
    for (int slot : {0, 254})
        ASSERT_TRUE(browser.write(DataSegment, 8 * slot + 4, &huge, 4));

    Bytes out(1 << 20);
    EXPECT_FALSE(data.copyAndFree(254, out.data(), 1 << 20));
    Bytes oversized = pattern(2 << 20, 8);
    EXPECT_EQ(data.allocateAndCopy(oversized.data(), int32_t(oversized.size())), -1);
}

} // namespace
