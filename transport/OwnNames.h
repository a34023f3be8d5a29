#pragma once
// The names of the shared objects (segments and their locks) that this process opened, each
// with the identity (device and inode) of the object it opened, so that they can be removed
// when their host is gone without harming a host that has taken the names over since.
//
// A new host reuses a segment that still exists (KEL_Init opens or creates it) but always makes
// its lock anew. So a segment whose lock name no longer names this process's lock belongs to a
// new host, even though the segment is the very object this process mapped: a segment and its
// lock are removed only while both still name what this process opened. A new host that starts
// between the check and the removal (a few microseconds) is not guarded against.
//
// Removal allocates nothing and takes no lock (the names are fixed at `add`), so the watchdog
// thread may remove them while the stuck GUI thread holds the allocator's lock.

#include <cstddef>
#include <sys/types.h>

namespace KEL {

class SharedBuffer;

struct ObjectIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};

// The identity of the object behind `fd`; not known when fstat fails.
ObjectIdentity identityOf(int fd);

class OwnNames {
  public:
    static constexpr int kMaxSegments = 3;
    static constexpr size_t kMaxNameBytes = 128;

    // Records the segment of an open buffer and its lock. False (nothing recorded) when the
    // buffer is not open, either identity is unknown, a name is too long or the set is full.
    bool add(const SharedBuffer &buffer);
    // Removes each recorded segment name and lock name that still names the object this
    // process opened (see above); returns how many names were removed.
    int removeStillOwn() const;
    // Whether a lock name now names another lock than the one this process opened: a new host
    // has made the names anew (KEL_Init), and the segments are its own now (it reuses them),
    // so this process must not take its records. A missing name does not count.
    bool takenOver() const;
    int count() const { return m_count; }

  private:
    struct Entry {
        char segment[kMaxNameBytes];
        char lock[kMaxNameBytes];
        ObjectIdentity segmentIdentity;
        ObjectIdentity lockIdentity;
    };
    Entry m_entries[kMaxSegments] = {};
    int m_count = 0;
};

} // namespace KEL
