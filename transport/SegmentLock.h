#pragma once
// The inter-process lock of one shared segment.
//
// A process-shared, recursive, robust pthread mutex alone in its own POSIX shared-memory object
// named "<segment>_MUTEX" (mode 0600). The host side removes any leftover and creates it anew;
// the browser side opens the existing one.
//
// Dead owner: when the process holding the lock dies, the next taker gets EOWNERDEAD, marks the
// mutex consistent and goes on. What the lock guards is either still valid or is replaced by the
// next frame or record, so nothing needs repairing.
//
// Hung owner: every wait is bounded (kLockTimeout, on CLOCK_MONOTONIC). A caller that cannot get
// the lock in time gets false and reports failure; the first timeout after a success is logged,
// the rest are not, so a stopped peer does not flood the log.

#include "OwnNames.h"

#include <atomic>
#include <chrono>
#include <pthread.h>
#include <string>

namespace KEL {

constexpr std::chrono::milliseconds kLockTimeout{50};

// Whether the object behind `fd` belongs to the current user and has mode 0600 (logged when not).
bool isPrivateObject(int fd, const std::string &name);

class SegmentLock {
  public:
    // Host side: remove a leftover of this name and create the lock anew. Null on failure
    // (logged).
    static SegmentLock *create(const std::string &name);
    // Browser side: open the lock the host created. Null when missing or not ours (logged).
    static SegmentLock *open(const std::string &name);
    // Remove the name from the system (the host's shutdown).
    static void removeName(const std::string &name);

    ~SegmentLock();
    SegmentLock(const SegmentLock &) = delete;
    SegmentLock &operator=(const SegmentLock &) = delete;

    // Takes the lock (recursively), waiting at most kLockTimeout. False when it timed out or
    // the lock is unusable.
    bool lock();
    void unlock();

    const std::string &name() const { return m_name; }
    // The lock object this process opened (see OwnNames.h).
    const ObjectIdentity &identity() const { return m_identity; }

  private:
    SegmentLock(std::string name, pthread_mutex_t *mutex, ObjectIdentity identity);

    std::string m_name;
    pthread_mutex_t *m_mutex;
    ObjectIdentity m_identity;
    std::atomic<bool> m_timeoutLogged{false};
};

// RAII holder. Test `locked()` (or the object) before touching the segment.
class ScopedLock {
  public:
    explicit ScopedLock(SegmentLock *lock) : m_lock(lock), m_locked(lock && lock->lock()) {}
    ~ScopedLock() {
        if (m_locked)
            m_lock->unlock();
    }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

    bool locked() const { return m_locked; }
    explicit operator bool() const { return m_locked; }

  private:
    SegmentLock *m_lock;
    bool m_locked;
};

} // namespace KEL
