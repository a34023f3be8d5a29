#include "core/StackLimit.h"

#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

namespace KEL {

namespace {

// Set in the environment of the re-executed image only; removed again at once so that nothing
// the browser starts inherits it.
const char *const kRaisedMark = "KEL_MAIN_STACK_RAISED";

void keepThreadStacksSmall() {
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) != 0)
        return;
    size_t size = 0;
    if (pthread_attr_getstacksize(&attr, &size) == 0 && size > kThreadStackBytes)
        pthread_attr_setstacksize(&attr, kThreadStackBytes);
    pthread_setattr_default_np(&attr);
    pthread_attr_destroy(&attr);
}

} // namespace

bool raiseMainStackLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) != 0)
        return false;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= kMainStackBytes)
        return false;
    rlim_t wanted = kMainStackBytes;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
        wanted = limit.rlim_max;
    if (wanted <= limit.rlim_cur)
        return false;
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_STACK, &limit) == 0;
}

void ensureMainStack(char **argv) {
    const bool reexecuted = std::getenv(kRaisedMark) != nullptr;
    unsetenv(kRaisedMark);
    // glibc sizes new threads from the stack limit: without this, every engine thread would
    // reserve as much address space as the main thread.
    keepThreadStacksSmall();

    rlimit before;
    if (reexecuted || getrlimit(RLIMIT_STACK, &before) != 0 || !raiseMainStackLimit())
        return;
    setenv(kRaisedMark, "1", 1);
    // By its own path first: an image run as /proc/self/exe is named "exe" in ps, top and
    // /proc/<pid>/comm, where people (and scripts) look for KELBrowser.
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        execv(path, argv);
    }
    execv("/proc/self/exe", argv);
    // Not re-executed: carry on as started, with the limit the process had.
    unsetenv(kRaisedMark);
    setrlimit(RLIMIT_STACK, &before);
}

} // namespace KEL
