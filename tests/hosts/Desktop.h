#pragma once
// Support for tests of interactive hosts: a private X server (Xvfb), programs started on it
// with their own segment suffix and home folders, real input through xdotool, and pictures of
// windows through ImageMagick's import.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace KEL {
namespace Test {

bool spinUntil(const std::function<bool()> &condition, int timeoutMs);
// Whether a program is on the PATH.
bool haveProgram(const std::string &name);

// A private folder under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return m_path; }
    std::string write(const std::string &name, const std::string &contents) const;

  private:
    std::string m_path;
};

// A started program with its standard input and output on pipes and its standard error in a
// file; killed (and its process group) when destroyed.
class Program {
  public:
    Program(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
            const std::string &errorFile);
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    pid_t pid() const { return m_pid; }
    bool running();
    // Its wait status once it has ended by itself (running() said false); -1 before.
    int status() const { return m_status; }
    void send(const std::string &line);
    // Closes its standard input: the program reads the end of its input.
    void closeInput();
    // Reads what the program has written so far; the lines seen since the start.
    const std::vector<std::string> &lines();
    // Waits for a line starting with `prefix` after line `from`; returns its index or -1.
    int waitForLine(const std::string &prefix, int timeoutMs, size_t from = 0);
    // Ends it: SIGTERM, then SIGKILL after timeoutMs.
    void stop(int timeoutMs = 5000);

  private:
    pid_t m_pid = -1;
    int m_status = -1;
    int m_in = -1, m_out = -1;
    std::string m_partial;
    std::vector<std::string> m_lines;
};

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    uint32_t pixel(int x, int y) const; // 0xRRGGBB, 0xFFFFFFFF outside
};

// An Xvfb of its own (it picks a free display number), with a folder for the programs' homes.
class Desktop {
  public:
    Desktop();
    ~Desktop();
    bool ok() const { return m_display >= 0; }
    std::string display() const { return ":" + std::to_string(m_display); }
    // Environment for a program on this display: DISPLAY, its own segment suffix and
    // HOME / XDG_* folders, no sound.
    std::map<std::string, std::string> environment() const;
    const TempDir &dir() const { return m_dir; }

    // Runs a command on this display; its standard output, or empty on failure.
    std::string run(const std::string &command) const;
    // The windows of a process that are mapped (xdotool search --onlyvisible --pid).
    std::vector<unsigned long> windowsOf(pid_t pid) const;
    bool capture(unsigned long window, Image *image) const;
    // Moves the pointer into the window at (x, y) and clicks the left button.
    void click(unsigned long window, int x, int y) const;
    // Gives the window the keyboard focus and types the text through the X server.
    void type(unsigned long window, const std::string &text) const;

  private:
    TempDir m_dir;
    pid_t m_server = -1;
    int m_display = -1;
};

// A colour within `tolerance` per channel of the expected one.
bool near(uint32_t colour, uint32_t expected, int tolerance = 24);

} // namespace Test
} // namespace KEL
