#include "Desktop.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace KEL {
namespace Test {

using Clock = std::chrono::steady_clock;

bool spinUntil(const std::function<bool()> &condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool haveProgram(const std::string &name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// ---- TempDir ------------------------------------------------------------------------------

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kel-hosts-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()))
        m_path = buffer.data();
}

TempDir::~TempDir() {
    if (!m_path.empty())
        std::system(("rm -rf '" + m_path + "'").c_str());
}

std::string TempDir::write(const std::string &name, const std::string &contents) const {
    const std::string path = m_path + "/" + name;
    std::ofstream(path) << contents;
    return path;
}

// ---- Program ------------------------------------------------------------------------------

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string> &env) {
    std::vector<std::string> entries;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        if (!env.count(text.substr(0, text.find('='))))
            entries.push_back(text);
    }
    for (const auto &[key, value] : env)
        entries.push_back(key + "=" + value);
    return entries;
}

} // namespace

Program::Program(const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env, const std::string &errorFile) {
    int in[2], out[2];
    // Close-on-exec: a program started later must not hold this one's input open.
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return;
    const std::vector<std::string> environment = mergedEnvironment(env);
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : environment)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        setpgid(0, 0);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        const int err = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_in = in[1];
    m_out = out[0];
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);
}

Program::~Program() {
    stop(3000);
    if (m_in >= 0)
        close(m_in);
    if (m_out >= 0)
        close(m_out);
}

bool Program::running() {
    if (m_pid <= 0)
        return false;
    int status;
    const pid_t rc = waitpid(m_pid, &status, WNOHANG);
    if (rc == 0)
        return true;
    if (rc == m_pid)
        m_status = status;
    m_pid = -1;
    return false;
}

void Program::closeInput() {
    if (m_in >= 0)
        close(m_in);
    m_in = -1;
}

void Program::send(const std::string &line) {
    const std::string text = line + "\n";
    if (m_in >= 0 && write(m_in, text.data(), text.size()) < 0)
        std::fprintf(stderr, "cannot write to the program: %s\n", std::strerror(errno));
}

const std::vector<std::string> &Program::lines() {
    char buffer[4096];
    ssize_t n;
    while (m_out >= 0 && (n = read(m_out, buffer, sizeof buffer)) > 0) {
        m_partial.append(buffer, size_t(n));
        size_t end;
        while ((end = m_partial.find('\n')) != std::string::npos) {
            m_lines.push_back(m_partial.substr(0, end));
            m_partial.erase(0, end + 1);
        }
    }
    return m_lines;
}

int Program::waitForLine(const std::string &prefix, int timeoutMs, size_t from) {
    int found = -1;
    spinUntil(
        [&] {
            const std::vector<std::string> &all = lines();
            for (size_t i = from; i < all.size(); ++i) {
                if (all[i].rfind(prefix, 0) == 0) {
                    found = int(i);
                    return true;
                }
            }
            return !running();
        },
        timeoutMs);
    return found;
}

void Program::stop(int timeoutMs) {
    if (!running())
        return;
    kill(-m_pid, SIGTERM);
    if (!spinUntil([&] { return !running(); }, timeoutMs) && m_pid > 0) {
        kill(-m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}

// ---- Images -------------------------------------------------------------------------------

uint32_t Image::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height ||
        rgb.size() < size_t(width) * size_t(height) * 3)
        return 0xFFFFFFFFu;
    const uint8_t *p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
    return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

bool near(uint32_t colour, uint32_t expected, int tolerance) {
    if (colour > 0xFFFFFFu)
        return false;
    for (int shift = 0; shift < 24; shift += 8) {
        const int a = int((colour >> shift) & 0xFF), b = int((expected >> shift) & 0xFF);
        if (std::abs(a - b) > tolerance)
            return false;
    }
    return true;
}

// Binary PPM (P6, maxval 255) as ImageMagick writes it.
static bool readPpm(const std::string &path, Image *image) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    file >> magic >> image->width >> image->height >> maxval;
    file.get();
    if (!file || magic != "P6" || maxval != 255 || image->width <= 0 || image->height <= 0 ||
        image->width > 8192 || image->height > 8192)
        return false;
    image->rgb.resize(size_t(image->width) * size_t(image->height) * 3);
    file.read(reinterpret_cast<char *>(image->rgb.data()), std::streamsize(image->rgb.size()));
    return bool(file);
}

// A picture that could not be read is empty, never a size without pixels.
static bool readPicture(const std::string &path, Image *image) {
    if (readPpm(path, image))
        return true;
    *image = Image();
    return false;
}

// ---- Desktop ------------------------------------------------------------------------------

Desktop::Desktop() {
    if (m_dir.path().empty() || !haveProgram("Xvfb"))
        return;
    int fds[2];
    if (pipe(fds) != 0)
        return;
    m_server = fork();
    if (m_server == 0) {
        setpgid(0, 0);
        close(fds[0]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
               "-nolisten", "tcp", "-noreset", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the display number it chose once it accepts clients.
    std::string text;
    pollfd wait{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
        if (poll(&wait, 1, 200) > 0) {
            char buffer[32];
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, size_t(n));
        }
    }
    close(fds[0]);
    if (text.find('\n') != std::string::npos)
        m_display = std::atoi(text.c_str());
}

Desktop::~Desktop() {
    if (m_server > 0) {
        kill(-m_server, SIGTERM);
        if (!spinUntil([&] { return waitpid(m_server, nullptr, WNOHANG) != 0; }, 5000)) {
            kill(-m_server, SIGKILL);
            waitpid(m_server, nullptr, 0);
        }
    }
}

std::map<std::string, std::string> Desktop::environment() const {
    const std::string home = m_dir.path() + "/home";
    std::system(("mkdir -p '" + home + "/data' '" + home + "/cache' '" + home + "/config' '" +
                 home + "/runtime' && chmod 700 '" + home + "/runtime'")
                    .c_str());
    return {
        {"DISPLAY", display()},
        {"KEL_SEGMENT_SUFFIX", "h" + std::to_string(getpid()) + "d" + std::to_string(m_display)},
        {"HOME", home},
        {"XDG_DATA_HOME", home + "/data"},
        {"XDG_CACHE_HOME", home + "/cache"},
        {"XDG_CONFIG_HOME", home + "/config"},
        {"XDG_RUNTIME_DIR", home + "/runtime"},
        {"SDL_AUDIODRIVER", "dummy"},
        {"LIBGL_ALWAYS_SOFTWARE", "1"}};
}

std::string Desktop::run(const std::string &command) const {
    const std::string full = "DISPLAY=" + display() + " " + command + " 2>/dev/null";
    FILE *pipe = popen(full.c_str(), "r");
    if (!pipe)
        return std::string();
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::vector<unsigned long> Desktop::windowsOf(pid_t pid) const {
    std::istringstream out(run("xdotool search --onlyvisible --pid " + std::to_string(pid)));
    std::vector<unsigned long> windows;
    unsigned long id;
    while (out >> id)
        windows.push_back(id);
    return windows;
}

bool Desktop::capture(unsigned long window, Image *image) const {
    const std::string path = m_dir.path() + "/shot.ppm";
    std::remove(path.c_str());
    run("import -depth 8 -window " + std::to_string(window) + " ppm:'" + path + "'");
    return readPicture(path, image);
}

void Desktop::click(unsigned long window, int x, int y) const {
    const std::string id = std::to_string(window);
    run("xdotool mousemove --window " + id + " " + std::to_string(x) + " " + std::to_string(y) +
        " click 1");
}

void Desktop::type(unsigned long window, const std::string &text) const {
    const std::string id = std::to_string(window);
    run("xdotool windowfocus --sync " + id + " type --delay 40 '" + text + "'");
}

} // namespace Test
} // namespace KEL
