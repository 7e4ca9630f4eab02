// The tools' tests' harness: the virtual analyzer running in a scratch folder, and reading its
// log and summary line.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "answers.h"
#include "files.h"
#include "program.h"

namespace k410test {

// The line of `text` that starts with `head`, or "".
inline std::string LineStartingWith(const std::string& text, const std::string& head) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, head.size(), head) == 0) {
            return line;
        }
    }
    return "";
}

// The number just before `word` in `text` ("36 lines" gives 36 for " lines"), or -1.
inline int NumberBefore(const std::string& text, const std::string& word) {
    const size_t at = text.find(word);
    if (at == std::string::npos || at == 0 ||
        !std::isdigit(static_cast<unsigned char>(text[at - 1]))) {
        return -1;
    }
    // No digit before them: npos + 1 is 0.
    return std::atoi(text.c_str() + text.find_last_not_of("0123456789", at - 1) + 1);
}

// A running k410sim, with the options `extra`, publishing COM3 in a prefix inside a scratch
// folder.
struct RunningSim {
    ScratchDir scratch;
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
        pid = StartProcess(argv, scratch.path() + "/sim.out");
    }
    ~RunningSim() { Stop(); }
    RunningSim(const RunningSim&) = delete;
    RunningSim& operator=(const RunningSim&) = delete;

    bool Ready() { return pid > 0 && WaitForPath(link, 5000); }
    void Stop(int signal_number = SIGTERM) {
        if (pid > 0) {
            status = StopProcess(pid, signal_number, 5000);
            pid = -1;
        }
    }
    std::string Log() const { return ReadFile(log); }
    // Waits up to `timeout_ms` for the log to hold `text`.
    bool WaitForLog(const std::string& text, int timeout_ms = 5000) const {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout_ms);
    }
    std::string Summary() const { return LineStartingWith(Log(), "k410sim summary:"); }
};

}  // namespace k410test
