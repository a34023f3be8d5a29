#include "FrameMemory.h"

#include <cstring>
#include <new>
#include <sys/mman.h>

namespace KEL {

FrameMemory::~FrameMemory() {
    release();
}

FrameMemory &FrameMemory::operator=(FrameMemory &&other) noexcept {
    if (this != &other) {
        release();
        m_bytes = std::exchange(other.m_bytes, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

void FrameMemory::release() {
    if (m_bytes)
        munmap(m_bytes, m_size);
    m_bytes = nullptr;
    m_size = 0;
}

void FrameMemory::allocate(std::size_t bytes) {
    release();
    if (bytes == 0)
        return;
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw std::bad_alloc();
    m_bytes = static_cast<uint8_t *>(memory);
    m_size = bytes;
}

void FrameMemory::clear() {
    if (!m_bytes)
        return;
    // A private anonymous mapping reads as zero after MADV_DONTNEED; should the kernel refuse,
    // the bytes are zeroed by hand.
    if (madvise(m_bytes, m_size, MADV_DONTNEED) != 0)
        std::memset(m_bytes, 0, m_size);
}

} // namespace KEL
