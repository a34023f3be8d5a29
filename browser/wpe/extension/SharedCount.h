#pragma once
// The browser's open WebSockets, counted together by the WPE engine's web processes through a
// file they all map (the browser makes it kFileSize bytes long). Plain POSIX: it
// runs inside the engine's processes.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace KEL {

// Each view's pages run in a web process of their own, so the browser-wide bound is kept in a
// small file all of them map: one counter per web process, each claimed with a lock on its
// bytes. The system drops a process's locks when it ends however it ends, so a counter whose
// bytes nobody holds is stale and left out of the sum.

class SharedCount {
  public:
    // Byte 0 is held by the browser for the file's life, byte 1 is the mutex of the web
    // processes, and from byte 64 on each web process claims a 32-bit counter.
    static constexpr off_t kMutexByte = 1;
    static constexpr off_t kFirstSlot = 64;
    static constexpr int kSlots = 256;
    static constexpr off_t kFileSize = kFirstSlot + 4 * kSlots;

    SharedCount() = default;
    SharedCount(const SharedCount &) = delete;
    SharedCount &operator=(const SharedCount &) = delete;

    bool open(const char *path) {
        m_fd = ::open(path, O_RDWR | O_CLOEXEC);
        struct stat info {};
        if (m_fd >= 0 && (fstat(m_fd, &info) != 0 || info.st_size < kFileSize)) {
            ::close(m_fd);
            m_fd = -1;
        }
        if (m_fd < 0)
            return false;
        void *map = mmap(nullptr, size_t(kFileSize), PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
        if (map == MAP_FAILED) {
            ::close(m_fd);
            m_fd = -1;
            return false;
        }
        m_slots = reinterpret_cast<int32_t *>(static_cast<char *>(map) + kFirstSlot);
        return true;
    }

    // Counts one more when the browser holds fewer than `limit`; without the file, this
    // process's own count is the whole.
    bool take(int limit) {
        if (!m_slots)
            return m_local < limit ? (++m_local, true) : false;
        if (!lock(F_SETLKW, F_WRLCK, kMutexByte, 1))
            return false;
        if (m_mine < 0)
            claim();
        const bool room = m_mine >= 0 && total() < limit;
        if (room)
            __atomic_add_fetch(&m_slots[m_mine], 1, __ATOMIC_SEQ_CST);
        lock(F_SETLK, F_UNLCK, kMutexByte, 1);
        return room;
    }

    void give(int count) {
        if (!m_slots)
            m_local -= count;
        else if (m_mine >= 0)
            __atomic_sub_fetch(&m_slots[m_mine], count, __ATOMIC_SEQ_CST);
    }

    int total() const {
        if (!m_slots)
            return m_local;
        int sum = 0;
        for (int i = 0; i < kSlots; ++i) {
            if (i == m_mine) {
                sum += __atomic_load_n(&m_slots[i], __ATOMIC_SEQ_CST);
                continue;
            }
            struct flock probe {};
            probe.l_type = F_WRLCK;
            probe.l_whence = SEEK_SET;
            probe.l_start = kFirstSlot + 4 * i;
            probe.l_len = 4;
            if (fcntl(m_fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
                sum += __atomic_load_n(&m_slots[i], __ATOMIC_SEQ_CST);
        }
        return sum;
    }

  private:
    bool lock(int command, short type, off_t start, off_t length) const {
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = start;
        range.l_len = length;
        return fcntl(m_fd, command, &range) == 0;
    }

    // Under the mutex: a free counter is one whose last owner has ended; it starts again at 0.
    void claim() {
        for (int i = 0; i < kSlots; ++i)
            if (lock(F_SETLK, F_WRLCK, kFirstSlot + 4 * i, 4)) {
                m_mine = i;
                __atomic_store_n(&m_slots[i], 0, __ATOMIC_SEQ_CST);
                return;
            }
    }

    int m_fd = -1;
    int32_t *m_slots = nullptr;
    int m_mine = -1;
    int m_local = 0;
};

} // namespace KEL
