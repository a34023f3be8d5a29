#include "Log.h"

#include <atomic>
#include <cstdio>

namespace KEL {

namespace {
// Set by the host from any thread; read wherever a line is logged.
std::atomic<LogCallback> g_callback{nullptr};
std::atomic<LogUserCallback> g_userCallback{nullptr};
std::atomic<void *> g_user{nullptr};
} // namespace

void setLogCallback(LogCallback callback) {
    g_userCallback.store(nullptr);
    g_callback.store(callback);
}

void setLogCallbackWithUser(LogUserCallback callback, void *user) {
    g_callback.store(nullptr);
    g_user.store(user);
    g_userCallback.store(callback);
}

LogCallback logCallback() {
    return g_callback.load();
}

void logMessage(const std::string &text) {
    if (LogUserCallback callback = g_userCallback.load()) {
        callback(text.c_str(), g_user.load());
        return;
    }
    if (LogCallback callback = g_callback.load()) {
        callback(text.c_str());
        return;
    }
    std::fputs("LOG: ", stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace KEL
