// The table of frame-area names the watchdog removes when a hung page outlives its host: only
// names still naming the object this process made go, and nothing is recorded past its end.

#include "FrameArea.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace KEL;

bool exists(const std::string &name) {
    struct stat info;
    return stat(("/dev/shm/" + name).c_str(), &info) == 0;
}

std::string uniqueName(const char *what) {
    static int counter = 0;
    return "KEL_frame_names_" + std::to_string(getpid()) + "_" + what + std::to_string(counter++);
}

enum class Then { Kept, Unlinked, MadeAgainElsewhere, Gone };

struct NameCase {
    const char *name;
    Then then;
    bool removedByWatchdog;
    bool existsAfter;
};

// Guards against frame areas outliving a hung browser whose host is gone, and against the
// watchdog removing a name someone else has made since.
TEST(FrameAreaNames, TheWatchdogRemovesOnlyNamesStillNamingWhatThisProcessMade) {
    const NameCase cases[] = {
        {"kept", Then::Kept, true, false},
        {"removed with its view", Then::Unlinked, false, false},
        {"made again by another browser", Then::MadeAgainElsewhere, false, true},
        {"gone already", Then::Gone, false, false},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = uniqueName("case");
        const int before = madeFrameAreaNames().count();
        std::unique_ptr<FrameMapping> mapping = FrameMapping::create(name, 4096);
        ASSERT_TRUE(mapping);
        EXPECT_EQ(madeFrameAreaNames().count(), before + 1);
        if (c.then == Then::Unlinked)
            mapping->unlinkName();
        if (c.then == Then::MadeAgainElsewhere || c.then == Then::Gone) {
            ASSERT_EQ(shm_unlink(("/" + name).c_str()), 0);
            if (c.then == Then::MadeAgainElsewhere) {
                const int fd = shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
                ASSERT_GE(fd, 0);
                close(fd);
            }
        }
        EXPECT_EQ(madeFrameAreaNames().removeStillOwn(), c.removedByWatchdog ? 1 : 0);
        EXPECT_EQ(exists(name), c.existsAfter);
        if (exists(name))
            shm_unlink(("/" + name).c_str());
        mapping->unlinkName(); // forgets the entry
    }
    EXPECT_EQ(madeFrameAreaNames().count(), 0);
}

// Guards against a table that overflows its fixed storage.
TEST(FrameAreaNames, AFullTableRecordsNoMore) {
    FrameAreaNames names;
    for (int i = 0; i < FrameAreaNames::kCapacity; ++i)
        ASSERT_TRUE(names.add("n" + std::to_string(i), 1, uint64_t(i)));
    EXPECT_FALSE(names.add("one more", 1, 1));
    EXPECT_FALSE(FrameAreaNames().add(std::string(FrameAreaNames::kMaxNameBytes, 'x'), 1, 1));
    names.forget("n7");
    EXPECT_EQ(names.count(), FrameAreaNames::kCapacity - 1);
    EXPECT_TRUE(names.add("one more", 1, 1));
}

} // namespace
