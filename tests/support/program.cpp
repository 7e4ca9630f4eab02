#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace k410test {

namespace {

std::vector<std::string> ProgramCommand() {
    std::vector<std::string> words;
    const char* command = std::getenv("K410_PROGRAM");
    std::stringstream stream(command != nullptr && *command != '\0' ? command : K410PROG_PATH);
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

std::string WithUnixLineEnds(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        result += text[i];
    }
    return result;
}

[[noreturn]] void RunChild(const std::string& folder, const Environment& environment, int stdin_fd,
                           int stdout_fd) {
    dup2(stdin_fd, 0);
    dup2(stdout_fd, 1);
    if (chdir(folder.c_str()) != 0) {
        _exit(126);
    }
    for (const auto& variable : environment) {
        setenv(variable.first.c_str(), variable.second.c_str(), 1);
    }
    std::vector<std::string> words = ProgramCommand();
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Feeds the answers and collects the output until the program closes its output, or the
// deadline passes.
void Converse(int to_child, int from_child, const std::string& answers,
              std::chrono::steady_clock::time_point deadline, ProgramRun* run) {
    size_t fed = 0;
    if (answers.empty()) {
        close(to_child);
        to_child = -1;
    }
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run->timed_out = true;
            break;
        }
        pollfd fds[2] = {{from_child, POLLIN, 0}, {to_child, POLLOUT, 0}};
        int ready = poll(fds, to_child >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (to_child >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(to_child, answers.data() + fed, answers.size() - fed);
            if (n > 0) {
                fed += static_cast<size_t>(n);
            }
            if (n < 0 || fed == answers.size()) {
                close(to_child);
                to_child = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t n = read(from_child, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            run->output.append(buffer, static_cast<size_t>(n));
        }
    }
    if (to_child >= 0) {
        close(to_child);
    }
}

int WaitForExit(pid_t child, std::chrono::steady_clock::time_point deadline, ProgramRun* run) {
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (run->timed_out || std::chrono::steady_clock::now() > deadline) {
            run->timed_out = true;
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramRun RunProgram(const std::string& folder, const std::string& answers,
                      const Environment& environment, double limit_seconds) {
    ProgramRun run;
    int to_child[2];
    int from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) {
        return run;
    }
    // A program that stops reading its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<int>(limit_seconds * 1000));
    pid_t child = fork();
    if (child == 0) {
        close(to_child[1]);
        close(from_child[0]);
        RunChild(folder, environment, to_child[0], from_child[1]);
    }
    close(to_child[0]);
    close(from_child[1]);
    if (child < 0) {
        close(to_child[1]);
        close(from_child[0]);
        return run;
    }
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    Converse(to_child[1], from_child[0], answers, deadline, &run);
    close(from_child[0]);
    run.status = WaitForExit(child, deadline, &run);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A Windows program's console is in text mode: its line ends come out as CRLF.
    if (ProgramIsForeign()) {
        run.output = WithUnixLineEnds(run.output);
    }
    return run;
}

bool ProgramIsForeign() {
    const char* other = std::getenv("K410_PROGRAM");
    return other != nullptr && *other != '\0';
}

std::string WinePrefixFor(const std::string& scratch) {
    const char* prefix = std::getenv("K410_WINEPREFIX");
    return prefix != nullptr && *prefix != '\0' ? prefix : scratch;
}

void PutStandInLoader(const std::string& folder) {
    const std::string path = folder + "/BSL.EXE";
    const char* standin = std::getenv("K410_BSL_STANDIN");
    if (standin != nullptr && *standin != '\0') {
        WriteFile(path, ReadFile(standin));
        chmod(path.c_str(), 0755);
        return;
    }
    // printf, not echo: dash's echo takes the backslashes of \\.\COM3 for escapes.
    WriteFile(path, R"(#!/bin/sh
if [ -n "$K410_BSL_RECORD" ]; then
    runs=$(grep -c '^$' "$K410_BSL_RECORD" 2>/dev/null)
    for argument in "$@"; do printf '%s\n' "$argument"; done >> "$K410_BSL_RECORD"
    printf '\n' >> "$K410_BSL_RECORD"
fi
if [ -n "$K410_BSL_PORTCHECK" ]; then
    device="$WINEPREFIX/dosdevices/com${2##*COM}"
    if flock -n "$device" true; then echo free; else echo held; fi >> "$K410_BSL_PORTCHECK"
fi
[ -n "$K410_BSL_SAY" ] && printf '%s\n' "$K410_BSL_SAY"
statuses="${K410_BSL_STATUS:-0},"
status=0
run=0
while [ -n "$statuses" ]; do
    status="${statuses%%,*}"
    statuses="${statuses#*,}"
    [ "$run" -ge "${runs:-0}" ] && break
    run=$((run + 1))
done
exit "$status"
)");
    chmod(path.c_str(), 0755);
}

std::vector<std::vector<std::string>> LoaderRuns(const std::string& record_path) {
    std::vector<std::vector<std::string>> runs;
    std::stringstream record(ReadFile(record_path));
    std::vector<std::string> arguments;
    std::string line;
    while (std::getline(record, line)) {
        if (line.empty()) {
            runs.push_back(arguments);
            arguments.clear();
        } else {
            arguments.push_back(line);
        }
    }
    return runs;
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

}  // namespace k410test
