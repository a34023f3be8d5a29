#include "SegmentLock.h"

#include "Log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KEL {

namespace {

std::string shmPath(const std::string &name) {
    return "/" + name;
}

std::string errorText(int error) {
    return std::strerror(error);
}

// The lock object takes a whole page; the mutex sits at its start.
size_t lockObjectSize() {
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

pthread_mutex_t *mapMutex(int fd) {
    void *address = mmap(nullptr, lockObjectSize(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<pthread_mutex_t *>(address);
}

bool initialiseMutex(pthread_mutex_t *mutex) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

timespec deadlineAfter(std::chrono::milliseconds timeout) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = now.tv_nsec + static_cast<long long>(timeout.count()) * 1000000LL;
    now.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    now.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return now;
}

} // namespace

bool isPrivateObject(int fd, const std::string &name) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        logMessage("Cannot inspect shared memory object " + name + ": " + errorText(errno));
        return false;
    }
    if (info.st_uid != geteuid() || (info.st_mode & 07777) != 0600) {
        logMessage("Refusing shared memory object " + name +
                   ": it must belong to the current user and have mode 0600");
        return false;
    }
    return true;
}

SegmentLock::SegmentLock(std::string name, pthread_mutex_t *mutex, ObjectIdentity identity)
    : m_name(std::move(name)), m_mutex(mutex), m_identity(identity) {}

SegmentLock::~SegmentLock() {
    munmap(m_mutex, lockObjectSize());
}

SegmentLock *SegmentLock::create(const std::string &name) {
    const std::string path = shmPath(name);
    shm_unlink(path.c_str()); // a leftover of an earlier run, possibly still locked
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        logMessage("Cannot create lock " + name + ": " + errorText(errno));
        return nullptr;
    }
    pthread_mutex_t *mutex = nullptr;
    // The umask may have narrowed the mode; fchmod sets exactly 0600.
    if (fchmod(fd, 0600) == 0 && ftruncate(fd, static_cast<off_t>(lockObjectSize())) == 0)
        mutex = mapMutex(fd);
    int error = errno;
    const ObjectIdentity identity = identityOf(fd);
    close(fd);
    if (!mutex) {
        logMessage("Cannot create lock " + name + ": " + errorText(error));
        shm_unlink(path.c_str());
        return nullptr;
    }
    if (!initialiseMutex(mutex)) {
        logMessage("Cannot initialise lock " + name);
        munmap(mutex, lockObjectSize());
        shm_unlink(path.c_str());
        return nullptr;
    }
    return new SegmentLock(name, mutex, identity);
}

SegmentLock *SegmentLock::open(const std::string &name) {
    int fd = shm_open(shmPath(name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        logMessage("Cannot open lock " + name + ": " + errorText(errno));
        return nullptr;
    }
    pthread_mutex_t *mutex = nullptr;
    struct stat info;
    const ObjectIdentity identity = identityOf(fd);
    if (isPrivateObject(fd, name)) {
        if (fstat(fd, &info) == 0 && static_cast<size_t>(info.st_size) >= lockObjectSize())
            mutex = mapMutex(fd);
        else
            logMessage("Cannot open lock " + name + ": object too small");
    }
    close(fd);
    return mutex ? new SegmentLock(name, mutex, identity) : nullptr;
}

void SegmentLock::removeName(const std::string &name) {
    shm_unlink(shmPath(name).c_str());
}

bool SegmentLock::lock() {
    const timespec deadline = deadlineAfter(kLockTimeout);
    int rc = pthread_mutex_clocklock(m_mutex, CLOCK_MONOTONIC, &deadline);
    if (rc == EOWNERDEAD) {
        // The holder died mid-operation; see the policy in the header.
        pthread_mutex_consistent(m_mutex);
        rc = 0;
    }
    if (rc == 0) {
        m_timeoutLogged.store(false, std::memory_order_relaxed);
        return true;
    }
    if (!m_timeoutLogged.exchange(true)) {
        logMessage(rc == ETIMEDOUT ? "Timed out waiting for lock " + m_name
                                   : "Cannot take lock " + m_name + ": " + errorText(rc));
    }
    return false;
}

void SegmentLock::unlock() {
    pthread_mutex_unlock(m_mutex);
}

} // namespace KEL
