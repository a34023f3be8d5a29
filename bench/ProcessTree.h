#pragma once
// The machine's processes as /proc shows them, for the benchmarks and tests that look at what
// runs below the browser: WPE WebKit's page and network processes are its children, or deeper
// where the engine starts them through bubblewrap.

#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace KEL {

struct ProcessEntry {
    pid_t parent = 0;
    std::string name;
    char state = 0; // 'Z' for one that has ended and waits to be reaped
};

// Every process by its id, zombies included.
inline std::map<pid_t, ProcessEntry> runningProcesses() {
    std::map<pid_t, ProcessEntry> processes;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        const std::string text((std::istreambuf_iterator<char>(stat)),
                               std::istreambuf_iterator<char>());
        // pid (name) state parent ...: the name may hold spaces and brackets.
        const size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            continue;
        ProcessEntry process;
        process.name = text.substr(open + 1, close - open - 1);
        std::istringstream fields(text.substr(close + 1));
        if (fields >> process.state >> process.parent)
            processes[pid_t(std::stol(pid))] = process;
    }
    return processes;
}

// `root` and every process below it, zombies included.
inline std::vector<pid_t> processTree(pid_t root) {
    std::multimap<pid_t, pid_t> children;
    for (const auto &[pid, process] : runningProcesses())
        children.emplace(process.parent, pid);
    std::vector<pid_t> tree{root};
    for (size_t i = 0; i < tree.size(); ++i) {
        const auto range = children.equal_range(tree[i]);
        for (auto it = range.first; it != range.second; ++it)
            tree.push_back(it->second);
    }
    return tree;
}

// The running processes below `ancestor`, at any depth, that `which` picks; nearest first.
inline std::vector<pid_t> processesBelow(pid_t ancestor,
                                         const std::function<bool(const ProcessEntry &)> &which) {
    std::map<pid_t, ProcessEntry> processes = runningProcesses();
    std::vector<std::pair<int, pid_t>> found; // depth, pid
    for (const auto &[pid, process] : processes) {
        if (process.state == 'Z' || !which(process))
            continue;
        int depth = 1;
        for (pid_t up = process.parent; up > 1 && processes.count(up);
             up = processes[up].parent, ++depth)
            if (up == ancestor) {
                found.push_back({depth, pid});
                break;
            }
    }
    std::sort(found.begin(), found.end());
    std::vector<pid_t> pids;
    for (const auto &item : found)
        pids.push_back(item.second);
    return pids;
}

inline std::vector<pid_t> processesBelowNamed(pid_t ancestor, const std::string &name) {
    return processesBelow(ancestor, [&](const ProcessEntry &p) { return p.name == name; });
}

} // namespace KEL
