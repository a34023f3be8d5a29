#include "FrameArea.h"

#include "Log.h"
#include "SegmentLock.h"
#include "SegmentNames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KEL {

uint64_t frameAreaHash(const uint16_t *name, size_t length) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; ++i) {
        for (const uint8_t byte : {uint8_t(name[i] & 0xff), uint8_t(name[i] >> 8)}) {
            hash ^= byte;
            hash *= 0x100000001b3ull;
        }
    }
    return hash;
}

std::string frameControlName(const uint16_t *name, size_t length) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx",
                  static_cast<unsigned long long>(frameAreaHash(name, length)));
    return segmentName(kTextureSegmentName) + "_F" + digits;
}

std::string framePixelsName(const std::string &controlName, uint32_t generation) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08x", generation);
    return controlName + "_G" + digits;
}

namespace {

// A rectangle lies within a width x height frame; compared in 64 bits so no sum wraps.
bool rectInside(const FrameRect &rect, int32_t width, int32_t height) {
    return rect.x >= 0 && rect.y >= 0 && rect.width > 0 && rect.height > 0 &&
           int64_t(rect.x) + rect.width <= width && int64_t(rect.y) + rect.height <= height;
}

} // namespace

bool validFrameSlot(const FrameSlot &slot, uint64_t slotBytes, uint32_t number) {
    if (slot.width < 1 || slot.height < 1 || slot.width > kMaxFrameSide ||
        slot.height > kMaxFrameSide)
        return false;
    // Sides are bounded now, so these products cannot wrap.
    const int64_t rowBytes = int64_t(slot.width) * 4;
    if (slot.stride < rowBytes || slot.stride > int64_t(kMaxFrameSide) * 4)
        return false;
    if (uint64_t(slot.stride) * uint64_t(slot.height) > slotBytes)
        return false;
    if (slot.number != number || slot.changesSince >= number)
        return false;
    if (slot.rectCount < -1 || slot.rectCount > kMaxFrameRects)
        return false;
    for (int i = 0; i < slot.rectCount; ++i) {
        if (!rectInside(slot.rects[i], slot.width, slot.height))
            return false;
    }
    return true;
}

std::unique_ptr<FrameMapping> FrameMapping::create(const std::string &name, uint64_t size) {
    const std::string path = "/" + name;
    shm_unlink(path.c_str()); // a leftover of a view that had this name before
    const int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        logMessage("Cannot create frame area " + name + ": " + std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<FrameMapping> mapping(new FrameMapping());
    mapping->m_name = name;
    mapping->m_linked = true;
    struct stat info;
    // fchmod: the process's umask may have taken bits away, and the host insists on 0600.
    int error = fchmod(fd, 0600) == 0 && fstat(fd, &info) == 0 ? 0 : errno;
    if (error == 0)
        error = posix_fallocate(fd, 0, static_cast<off_t>(size));
    void *address = MAP_FAILED;
    if (error == 0) {
        address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED)
            error = errno;
    }
    close(fd);
    if (error != 0) {
        logMessage("Cannot create frame area " + name + " of " + std::to_string(size) +
                   " bytes: " + std::strerror(error));
        return nullptr; // the destructor removes the name
    }
    mapping->m_base = static_cast<uint8_t *>(address);
    mapping->m_size = size;
    mapping->m_device = info.st_dev;
    mapping->m_inode = info.st_ino;
    return mapping;
}

std::unique_ptr<FrameMapping> FrameMapping::open(const std::string &name, uint64_t minSize,
                                                 uint64_t maxSize) {
    const std::string path = "/" + name;
    const int fd = shm_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    struct stat info;
    void *address = MAP_FAILED;
    uint64_t size = 0;
    if (isPrivateObject(fd, name) && fstat(fd, &info) == 0) {
        size = static_cast<uint64_t>(info.st_size);
        if (size < minSize || size > maxSize)
            logMessage("Refusing frame area " + name + ": its size " + std::to_string(size) +
                       " is impossible");
        else
            address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (address == MAP_FAILED)
        return nullptr;
    std::unique_ptr<FrameMapping> mapping(new FrameMapping());
    mapping->m_name = name;
    mapping->m_base = static_cast<uint8_t *>(address);
    mapping->m_size = size;
    mapping->m_device = info.st_dev;
    mapping->m_inode = info.st_ino;
    mapping->m_linked = true;
    return mapping;
}

FrameMapping::~FrameMapping() {
    if (m_base)
        munmap(m_base, m_size);
    if (m_linked && m_base == nullptr)
        shm_unlink(("/" + m_name).c_str()); // creation failed half-way
}

void FrameMapping::unlinkName() {
    if (!m_linked)
        return;
    m_linked = false;
    if (nameIsOurs())
        shm_unlink(("/" + m_name).c_str());
}

bool FrameMapping::nameIsOurs() const {
    const int fd = shm_open(("/" + m_name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct stat info;
    const bool ours = fstat(fd, &info) == 0 && uint64_t(info.st_dev) == m_device &&
                      uint64_t(info.st_ino) == m_inode;
    close(fd);
    return ours;
}

} // namespace KEL
