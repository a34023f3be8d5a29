#pragma once
// This process plays the plugin (side 0) over its own set of segments; a Peer plays the browser.

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "Log.h"
#include "Peer.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace KelTest {

inline std::vector<std::string> &logLines() {
    static std::vector<std::string> lines;
    return lines;
}
inline void collectLog(const char *message) {
    logLines().push_back(message);
}

// Segments not yet opened: for tests of the opening itself.
class SegmentTest : public testing::Test {
  protected:
    void SetUp() override {
        logLines().clear();
        KEL::setLogCallback(&collectLog);
    }
    void TearDown() override {
        commands.closeSegment();
        texture.closeSegment();
        data.closeSegment();
        KEL::setLogCallback(nullptr);
    }
    // Creates the three segments as the plugin does.
    void openHost() {
        ASSERT_TRUE(commands.open(KEL::segmentName(KEL::kCommandSegmentName)));
        ASSERT_TRUE(texture.open(KEL::segmentName(KEL::kTextureSegmentName)));
        ASSERT_TRUE(data.open(KEL::segmentName(KEL::kDataSegmentName)));
    }

    SegmentEnv env; // first: its suffix must be in place before anything opens
    KEL::CommandBuffer commands{KEL::HostSide};
    KEL::TextureBuffer texture{KEL::HostSide};
    KEL::DataBuffer data{KEL::HostSide};
};

// Segments created by this process; a peer opens them when a test starts one.
class TransportTest : public SegmentTest {
  protected:
    void SetUp() override {
        SegmentTest::SetUp();
        openHost();
    }
    int32_t post(const KEL::Command &command) { return commands.post(&command); }
    KEL::Command &slot(int k) {
        return *reinterpret_cast<KEL::Command *>(commands.base() + 4 + k * KEL::kCommandSize);
    }
    uint32_t &nextSequence() { return *reinterpret_cast<uint32_t *>(commands.base()); }
    KEL::TextureHeader &header() { return *texture.header(); }
};

} // namespace KelTest
