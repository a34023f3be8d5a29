#pragma once
// Support for running kelshot as a program: a small HTTP server on 127.0.0.1, a runner that
// gives every run its own segment suffix and HOME / XDG folders, and a PNG reader.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace KEL {
namespace Test {

// Serves fixed pages by path (one connection at a time, Connection: close) on an ephemeral
// port. A silent server accepts connections and never answers, so loads never finish.
class PageServer {
  public:
    explicit PageServer(std::map<std::string, std::string> pages, bool silent = false);
    ~PageServer();
    uint16_t port() const { return m_port; }
    std::string address(const std::string &path) const;
    // Connections accepted so far.
    int connections() const { return m_connections; }

  private:
    void serve();
    void answer(int client);

    std::map<std::string, std::string> m_pages;
    bool m_silent;
    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::vector<int> m_held; // connections a silent server keeps open
    std::thread m_thread;
};

struct RunResult {
    int code = -1; // exit code; -1 when it did not end in time or was killed by a signal
    std::string out, err;
};

// Runs kelshot; each run gets its own suffix and folders under one temporary root.
class ShotRunner {
  public:
    ShotRunner();
    ~ShotRunner();

    pid_t start(const std::vector<std::string> &args,
                const std::map<std::string, std::string> &environment = {});
    RunResult finish(pid_t pid, int timeoutMs = 90000);
    RunResult run(const std::vector<std::string> &args,
                  const std::map<std::string, std::string> &environment = {}) {
        return finish(start(args, environment));
    }
    const std::string &root() const { return m_root; }
    std::string path(const std::string &name) const { return m_root + "/" + name; }
    // What the running kelshot has written to stderr so far.
    std::string errorsSoFar(pid_t pid) const;

  private:
    std::string m_root;
    int m_runs = 0;
    std::map<pid_t, std::string> m_dirs; // per run: its folder
    std::vector<std::string> m_suffixes; // to remove leftover segments
};

struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgba; // straight RGBA, top row first
    bool loaded = false;
    // RGBA of pixel (x, y) as 0xRRGGBBAA.
    uint32_t at(uint32_t x, uint32_t y) const;
};
Picture readPng(const std::string &path);

std::string readFile(const std::string &path);

} // namespace Test
} // namespace KEL
