#include "SharedBuffer.h"

#include "Command.h"
#include "Log.h"
#include "SegmentNames.h"

#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <cstring>

namespace bip = boost::interprocess;

namespace KEL {

SharedBuffer::SharedBuffer(Side side) : m_side(side) {}

SharedBuffer::~SharedBuffer() {
    closeSegment();
}

bool SharedBuffer::openSegment(const std::string &name, uint32_t size) {
    closeSegment();
    const bool creator = m_side == HostSide;
    const std::string mutexName = lockName(name);
    m_lock = creator ? SegmentLock::create(mutexName) : SegmentLock::open(mutexName);
    if (!m_lock)
        return false;
    // The host leaves nothing behind when it fails half-way: the lock it has just created, and
    // the segment once it is known to be its own (never an object someone else put there).
    bool ownSegment = false;
    bip::offset_t existing = 0;
    auto fail = [&] {
        closeSegment();
        if (creator) {
            SegmentLock::removeName(mutexName);
            if (ownSegment)
                bip::shared_memory_object::remove(name.c_str());
        }
        return false;
    };
    try {
        // The host creates; the browser only opens, so it never talks into a segment nobody
        // else has.
        if (creator)
            m_object.reset(new bip::shared_memory_object(bip::open_or_create, name.c_str(),
                                                         bip::read_write, bip::permissions(0600)));
        else
            m_object.reset(
                new bip::shared_memory_object(bip::open_only, name.c_str(), bip::read_write));
        if (!isPrivateObject(m_object->get_mapping_handle().handle, name))
            return fail();
        ownSegment = creator;
        m_identity = identityOf(m_object->get_mapping_handle().handle);
        m_object->get_size(existing);
        if (creator && existing != static_cast<bip::offset_t>(size)) {
            m_object->truncate(size);
        } else if (!creator && existing < static_cast<bip::offset_t>(size)) {
            // Mapping past the end of the object would fault on first touch.
            logMessage("Shared memory segment " + name + " is smaller than expected");
            return fail();
        }
        m_region.reset(new bip::mapped_region(*m_object, bip::read_write, 0, size));
    } catch (const std::exception &error) {
        logMessage("Cannot open shared memory segment " + name + ": " + error.what());
        return fail();
    }
    m_name = name;
    m_size = size;
    m_base = static_cast<uint8_t *>(m_region->get_address());
    // An object that had no size until now comes from the kernel zeroed; writing megabytes of
    // zeroes into it would only cost time and commit every page. One left over from an earlier
    // run (or of another size, which truncate keeps in part) is zeroed.
    if (creator && existing != 0) {
        ScopedLock lock(m_lock);
        if (!lock)
            return fail();
        std::memset(m_base, 0, m_size);
    }
    return true;
}

bool SharedBuffer::closeSegment() {
    m_base = nullptr;
    m_region.reset();
    m_object.reset();
    delete m_lock;
    m_lock = nullptr;
    m_name.clear();
    m_size = 0;
    m_identity = {};
    return true;
}

void SharedBuffer::clear() {
    ScopedLock lock(m_lock);
    if (lock && m_base)
        std::memset(m_base, 0, m_size);
}

void SharedBuffer::removeNames(const std::string &name) {
    bip::shared_memory_object::remove(name.c_str());
    SegmentLock::removeName(lockName(name));
}

} // namespace KEL
