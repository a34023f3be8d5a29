#pragma once
// Memory for one whole frame, taken straight from the kernel: it comes zeroed without being
// written, and pages that are never written (the rows of a texture above a page that is lower
// than the texture) take no memory at all. Linux anonymous mappings.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace KEL {

class FrameMemory {
  public:
    FrameMemory() = default;
    ~FrameMemory();
    FrameMemory(const FrameMemory &) = delete;
    FrameMemory &operator=(const FrameMemory &) = delete;
    FrameMemory(FrameMemory &&other) noexcept { *this = std::move(other); }
    FrameMemory &operator=(FrameMemory &&other) noexcept;

    // Replaces the memory with `bytes` fresh zero bytes (none for 0). Throws std::bad_alloc
    // when the kernel has no memory, like a container would.
    void allocate(std::size_t bytes);
    // Every byte reads zero again; written pages go back to the kernel.
    void clear();

    uint8_t *data() { return m_bytes; }
    const uint8_t *data() const { return m_bytes; }
    std::size_t size() const { return m_size; }

  private:
    void release();

    uint8_t *m_bytes = nullptr;
    std::size_t m_size = 0;
};

} // namespace KEL
