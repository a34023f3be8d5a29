#include "OwnNames.h"

#include "SegmentNames.h"
#include "SharedBuffer.h"

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KEL {

namespace {

bool sameObject(const ObjectIdentity &a, const ObjectIdentity &b) {
    return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

// What `name` ("/" included) refers to now; not known when it is missing.
ObjectIdentity identityOfName(const char *name) {
    const int fd = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return {};
    const ObjectIdentity identity = identityOf(fd);
    close(fd);
    return identity;
}

bool copyName(char (&target)[OwnNames::kMaxNameBytes], const std::string &name) {
    if (name.empty() || name.size() + 2 > sizeof target)
        return false;
    target[0] = '/';
    std::memcpy(target + 1, name.c_str(), name.size() + 1);
    return true;
}

} // namespace

ObjectIdentity identityOf(int fd) {
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0)
        return {};
    return {info.st_dev, info.st_ino, true};
}

bool OwnNames::add(const SharedBuffer &buffer) {
    if (m_count >= kMaxSegments || !buffer.isOpen() || !buffer.segmentLock())
        return false;
    Entry entry = {};
    entry.segmentIdentity = buffer.identity();
    entry.lockIdentity = buffer.segmentLock()->identity();
    if (!entry.segmentIdentity.known || !entry.lockIdentity.known ||
        !copyName(entry.segment, buffer.name()) ||
        !copyName(entry.lock, buffer.segmentLock()->name()))
        return false;
    m_entries[m_count++] = entry;
    return true;
}

int OwnNames::removeStillOwn() const {
    int removed = 0;
    for (int i = 0; i < m_count; ++i) {
        const Entry &entry = m_entries[i];
        // The lock first: it tells whether a new host has taken this segment over.
        if (!sameObject(identityOfName(entry.lock), entry.lockIdentity))
            continue;
        // A segment name that names some other object was made by someone else; its lock may
        // be about to serve it, so both stay.
        const ObjectIdentity segment = identityOfName(entry.segment);
        if (segment.known && !sameObject(segment, entry.segmentIdentity))
            continue;
        removed += shm_unlink(entry.lock) == 0 ? 1 : 0;
        if (segment.known)
            removed += shm_unlink(entry.segment) == 0 ? 1 : 0;
    }
    return removed;
}

bool OwnNames::takenOver() const {
    for (int i = 0; i < m_count; ++i) {
        const ObjectIdentity now = identityOfName(m_entries[i].lock);
        if (now.known && !sameObject(now, m_entries[i].lockIdentity))
            return true;
    }
    return false;
}

} // namespace KEL
