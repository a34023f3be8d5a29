#pragma once
// Helpers for tests that run real servers beside the browser: a child process with its output
// in a file, and loopback port probes.

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace KEL {
namespace Test {

inline std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A child process with its output in a file, stopped by its own id.
class Child {
  public:
    ~Child() { stop(); }
    bool start(const std::vector<std::string> &argv, const std::string &logPath) {
        m_pid = fork();
        if (m_pid == 0) {
            const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char *> args;
            for (const std::string &arg : argv)
                args.push_back(const_cast<char *>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        return m_pid > 0;
    }
    void stop() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

  private:
    pid_t m_pid = -1;
};

inline int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

inline bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

} // namespace Test
} // namespace KEL
