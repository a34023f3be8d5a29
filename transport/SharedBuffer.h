#pragma once
// One named shared-memory segment and its lock, mapped into this process.
//
// The host side creates (or reuses) the segment, sizes it and zeroes it; the browser side only
// opens an existing one whose size is at least the expected size. Either side refuses an object
// that does not belong to the current user or whose mode is not 0600.

#include "Command.h"
#include "OwnNames.h"
#include "SegmentLock.h"

#include <cstdint>
#include <memory>
#include <string>

namespace boost {
namespace interprocess {
class shared_memory_object;
class mapped_region;
} // namespace interprocess
} // namespace boost

namespace KEL {

class SharedBuffer {
  public:
    // The side this process plays on the segment; fixed for the buffer's life, so the two ends
    // of one segment can even live in one process.
    explicit SharedBuffer(Side side);
    virtual ~SharedBuffer();
    SharedBuffer(const SharedBuffer &) = delete;
    SharedBuffer &operator=(const SharedBuffer &) = delete;

    // Creates (host side) or opens (browser side) the segment `name` of `size` bytes and its
    // lock "<name>_MUTEX". False, with a log line naming what failed, on any failure; nothing
    // stays open then.
    virtual bool openSegment(const std::string &name, uint32_t size);
    // Unmaps the segment and releases the lock object. Names stay in the system.
    virtual bool closeSegment();
    // Zeroes the whole segment under its lock.
    virtual void clear();

    // Removes the segment's name and its lock's name from the system (host shutdown).
    static void removeNames(const std::string &name);

    Side side() const { return m_side; }
    bool isOpen() const { return m_base != nullptr; }
    const std::string &name() const { return m_name; }
    uint32_t size() const { return m_size; }
    uint8_t *base() const { return m_base; }
    SegmentLock *segmentLock() const { return m_lock; }
    // The segment object this process opened (see OwnNames.h); not known while closed.
    const ObjectIdentity &identity() const { return m_identity; }

  protected:
    // openSegment, then `layOut` under the segment's lock (to set up pointers and shared fields).
    // On any failure the segment is closed again and false returned.
    template <typename LayOut>
    bool openAndLayOut(const std::string &name, uint32_t size, LayOut layOut) {
        if (!openSegment(name, size))
            return false;
        ScopedLock lock(m_lock);
        if (!lock) {
            closeSegment();
            return false;
        }
        layOut();
        return true;
    }

    const Side m_side;
    SegmentLock *m_lock = nullptr;
    std::string m_name;
    uint32_t m_size = 0;
    std::unique_ptr<boost::interprocess::shared_memory_object> m_object;
    std::unique_ptr<boost::interprocess::mapped_region> m_region;
    uint8_t *m_base = nullptr;
    ObjectIdentity m_identity;
};

} // namespace KEL
