// The tools' tests' harness: the virtual analyzer running in a scratch folder, and reading its
// log and summary line.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "files.h"
#include "program.h"

namespace toolstest {

// The line of `text` that starts with `head`, or "".
inline std::string LineStartingWith(const std::string& text, const std::string& head) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(at, head.size(), head) == 0) {
            return text.substr(at, end - at);
        }
        at = end + 1;
    }
    return "";
}

// The number just before `word` in `text` ("36 lines" gives 36 for " lines"), or -1.
inline int NumberBefore(const std::string& text, const std::string& word) {
    size_t at = text.find(word);
    if (at == std::string::npos || at == 0) {
        return -1;
    }
    size_t start = at;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') {
        --start;
    }
    if (start == at) {
        return -1;
    }
    return std::atoi(text.substr(start, at - start).c_str());
}

// A running k410sim, with the options `extra`, publishing COM3 in a prefix inside a scratch
// folder.
struct RunningSim {
    k410test::ScratchDir scratch;
    std::string prefix = scratch.path() + "/prefix";
    std::string link = prefix + "/dosdevices/com3";
    std::string log = scratch.path() + "/sim.log";
    std::string capture = scratch.path() + "/capture.bin";
    pid_t pid = -1;
    int status = -1;

    explicit RunningSim(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {K410SIM_PATH, "--prefix",  prefix, "--log",
                                         log,          "--capture", capture};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid = k410test::StartProcess(argv, scratch.path() + "/sim.out");
    }
    ~RunningSim() { Stop(); }
    RunningSim(const RunningSim&) = delete;
    RunningSim& operator=(const RunningSim&) = delete;

    bool Ready() { return pid > 0 && k410test::WaitForPath(link, 5000); }
    void Stop(int signal_number = SIGTERM) {
        if (pid > 0) {
            status = k410test::StopProcess(pid, signal_number, 5000);
            pid = -1;
        }
    }
    std::string Log() const { return k410test::ReadFile(log); }
    // Waits up to `timeout_ms` for the log to hold `text`.
    bool WaitForLog(const std::string& text, int timeout_ms = 5000) const {
        for (int waited = 0; Log().find(text) == std::string::npos; waited += 10) {
            if (waited >= timeout_ms) {
                return false;
            }
            usleep(10000);
        }
        return true;
    }
    std::string Summary() const { return LineStartingWith(Log(), "k410sim summary:"); }
};

}  // namespace toolstest
