#include "ShotSupport.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace KEL {
namespace Test {

// ---- PageServer ---------------------------------------------------------------------------

PageServer::PageServer(std::map<std::string, std::string> pages, bool silent)
    : m_pages(std::move(pages)), m_silent(silent) {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { serve(); });
}

PageServer::~PageServer() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    for (int fd : m_held)
        close(fd);
    if (m_listener >= 0)
        close(m_listener);
}

std::string PageServer::address(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void PageServer::serve() {
    while (!m_stop) {
        pollfd listener{m_listener, POLLIN, 0};
        if (poll(&listener, 1, 50) <= 0)
            continue;
        const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++m_connections;
        if (m_silent)
            m_held.push_back(client);
        else
            answer(client);
    }
}

void PageServer::answer(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd readable{client, POLLIN, 0};
        if (poll(&readable, 1, 5000) <= 0)
            break;
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, size_t(n));
    }
    // "GET /path?query HTTP/1.1": pages are looked up without the query.
    const size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    path = path.substr(0, path.find('?'));
    const auto page = m_pages.find(path);
    const bool found = page != m_pages.end();
    const std::string body = found ? page->second : "not here";
    const char *type = path.size() > 4 && path.compare(path.size() - 4, 4, ".svg") == 0
                           ? "image/svg+xml"
                           : "text/html; charset=utf-8";
    const std::string reply = std::string("HTTP/1.1 ") + (found ? "200 OK" : "404 Not Found") +
                              "\r\nContent-Type: " + type +
                              "\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
    for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    close(client);
}

// ---- ShotRunner ---------------------------------------------------------------------------

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ShotRunner::ShotRunner() {
    char pattern[] = "/tmp/kel-shot-test-XXXXXX";
    if (mkdtemp(pattern))
        m_root = pattern;
}

ShotRunner::~ShotRunner() {
    // kelshot removes its segments as it ends; these are what a killed run left behind.
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
        const std::string name = entry.path().filename().string();
        for (const std::string &suffix : m_suffixes) {
            const bool segment =
                name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
            const bool lock = name.find(suffix + "_MUTEX") != std::string::npos;
            if (name.rfind("KEL_", 0) == 0 && (segment || lock))
                std::filesystem::remove(entry.path(), ignored);
        }
    }
    std::filesystem::remove_all(m_root, ignored);
}

pid_t ShotRunner::start(const std::vector<std::string> &args,
                        const std::map<std::string, std::string> &environment) {
    const std::string dir = m_root + "/run" + std::to_string(m_runs);
    const std::string suffix = "_ks" + std::to_string(getpid()) + "_" + std::to_string(m_runs);
    ++m_runs;
    m_suffixes.push_back(suffix);
    std::map<std::string, std::string> own = {
        {"KEL_SEGMENT_SUFFIX", suffix},       {"HOME", dir + "/home"},
        {"XDG_DATA_HOME", dir + "/data"},     {"XDG_CACHE_HOME", dir + "/cache"},
        {"XDG_CONFIG_HOME", dir + "/config"}, {"XDG_RUNTIME_DIR", dir + "/runtime"},
    };
    for (const char *sub : {"/home", "/data", "/cache", "/config", "/runtime"}) {
        std::filesystem::create_directories(dir + sub);
        chmod((dir + sub).c_str(), 0700);
    }
    for (const auto &[key, value] : environment)
        own[key] = value;
    std::vector<std::string> entries;
    for (char **entry = environ; *entry; ++entry) {
        const std::string text(*entry);
        const std::string key = text.substr(0, text.find('='));
        // The browser must choose its off-screen platform and its own path by itself.
        if (!own.count(key) && key != "QT_QPA_PLATFORM" && key != "KEL_BROWSER_PATH")
            entries.push_back(text);
    }
    for (const auto &[key, value] : own)
        entries.push_back(key + "=" + value);
    std::vector<char *> envp, argv;
    for (std::string &entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> command = {KEL_KELSHOT_EXECUTABLE};
    command.insert(command.end(), args.begin(), args.end());
    for (std::string &arg : command)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir + "/stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir + "/stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid > 0)
        m_dirs[pid] = dir;
    return pid;
}

std::string ShotRunner::errorsSoFar(pid_t pid) const {
    const auto it = m_dirs.find(pid);
    return it == m_dirs.end() ? std::string() : readFile(it->second + "/stderr");
}

RunResult ShotRunner::finish(pid_t pid, int timeoutMs) {
    RunResult result;
    if (pid <= 0)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            status = -1;
            break;
        }
        pollfd none{};
        poll(&none, 0, 10);
    }
    if (status != -1 && WIFEXITED(status))
        result.code = WEXITSTATUS(status);
    result.out = readFile(m_dirs[pid] + "/stdout");
    result.err = readFile(m_dirs[pid] + "/stderr");
    return result;
}

// ---- PNG ----------------------------------------------------------------------------------

uint32_t Picture::at(uint32_t x, uint32_t y) const {
    if (x >= width || y >= height)
        return 0;
    const uint8_t *p = &rgba[(size_t(y) * width + x) * 4];
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

Picture readPng(const std::string &path) {
    Picture picture;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return picture;
    // An 8-bit RGBA file is handed over as it is stored: no gamma or alpha conversion.
    const bool rgba = image.format == PNG_FORMAT_RGBA;
    image.format = PNG_FORMAT_RGBA;
    picture.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.rgba.data(), 0, nullptr))
        return picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.loaded = rgba;
    return picture;
}

} // namespace Test
} // namespace KEL
