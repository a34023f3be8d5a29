#pragma once
// The machine's processes as /proc shows them, for the benchmarks and tests that look at what
// runs below the browser: WPE WebKit's page and network processes are its children, or deeper
// where the engine starts them through bubblewrap.

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
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

// `root` and every process below it, zombies included; nearest first.
inline std::vector<pid_t>
processTree(pid_t root, const std::map<pid_t, ProcessEntry> &processes = runningProcesses()) {
    std::multimap<pid_t, pid_t> children;
    for (const auto &[pid, process] : processes)
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
    const std::map<pid_t, ProcessEntry> processes = runningProcesses();
    std::vector<pid_t> pids;
    for (const pid_t pid : processTree(ancestor, processes)) {
        const auto found = processes.find(pid);
        if (pid != ancestor && found->second.state != 'Z' && which(found->second))
            pids.push_back(pid);
    }
    return pids;
}

inline std::vector<pid_t> processesBelowNamed(pid_t ancestor, const std::string &name) {
    return processesBelow(ancestor, [&](const ProcessEntry &p) { return p.name == name; });
}

} // namespace KEL
