#include "tool_harness.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace toolstest {

namespace {

double NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

std::vector<char*> ArgumentVector(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv) {
        pointers.push_back(const_cast<char*>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Waits for `pid` until `deadline_ms`; returns true with `status` set when it was reaped.
bool ReapBy(pid_t pid, double deadline_ms, int* status) {
    for (;;) {
        pid_t reaped = waitpid(pid, status, WNOHANG);
        if (reaped == pid) {
            return true;
        }
        if (reaped < 0 || NowMs() >= deadline_ms) {
            return false;
        }
        usleep(5000);
    }
}

}  // namespace

ScratchFolder::ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/k410tools-test.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) {
        path = name.data();
    }
}

ScratchFolder::~ScratchFolder() {
    if (!path.empty()) {
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

Finished RunTool(const std::vector<std::string>& argv, const std::string& folder,
                 const std::vector<std::string>& environment, const std::string& input,
                 int timeout_ms) {
    Finished finished;
    int to_child[2];
    int from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) {
        finished.output = "pipe failed";
        return finished;
    }
    std::vector<char*> arguments = ArgumentVector(argv);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        dup2(from_child[1], STDERR_FILENO);
        if (!folder.empty() && chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        for (const std::string& setting : environment) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(to_child[0]);
    close(from_child[1]);
    fcntl(to_child[1], F_SETFL, O_NONBLOCK);
    double deadline = NowMs() + timeout_ms;
    size_t written = 0;
    int input_fd = to_child[1];
    if (input.empty()) {
        close(input_fd);
        input_fd = -1;
    }
    bool output_open = true;
    while (output_open && NowMs() < deadline) {
        pollfd watched[2] = {{from_child[0], POLLIN, 0}, {input_fd, POLLOUT, 0}};
        int wait = static_cast<int>(deadline - NowMs()) + 1;
        if (poll(watched, input_fd >= 0 ? 2 : 1, wait) < 0 && errno != EINTR) {
            break;
        }
        if (watched[0].revents != 0) {
            char buffer[4096];
            ssize_t count = read(from_child[0], buffer, sizeof buffer);
            if (count > 0) {
                finished.output.append(buffer, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                output_open = false;
            }
        }
        if (input_fd >= 0 && watched[1].revents != 0) {
            ssize_t count = write(input_fd, input.data() + written, input.size() - written);
            if (count > 0) {
                written += static_cast<size_t>(count);
            }
            if (count < 0 && errno != EAGAIN && errno != EINTR) {
                written = input.size();
            }
            if (written == input.size()) {
                close(input_fd);
                input_fd = -1;
            }
        }
    }
    if (input_fd >= 0) {
        close(input_fd);
    }
    close(from_child[0]);
    int status = 0;
    if (!ReapBy(pid, deadline, &status)) {
        finished.timed_out = true;
        kill(-pid, SIGKILL);
        ReapBy(pid, NowMs() + 5000, &status);
        return finished;
    }
    kill(-pid, SIGKILL);  // nothing the tool started may outlive the test
    finished.exited = WIFEXITED(status);
    finished.status = finished.exited ? WEXITSTATUS(status) : -1;
    return finished;
}

pid_t StartTool(const std::vector<std::string>& argv, const std::string& output_path) {
    std::vector<char*> arguments = ArgumentVector(argv);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int nothing = open("/dev/null", O_RDONLY);
        if (output < 0 || nothing < 0) {
            _exit(126);
        }
        dup2(nothing, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    if (pid > 0) {
        setpgid(pid, pid);
    }
    return pid;
}

int StopTool(pid_t pid, int signal_number, int timeout_ms) {
    if (pid <= 0) {
        return -1;
    }
    if (signal_number != 0) {
        kill(pid, signal_number);
    }
    int status = 0;
    if (!ReapBy(pid, NowMs() + timeout_ms, &status)) {
        kill(-pid, SIGKILL);
        ReapBy(pid, NowMs() + 5000, &status);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool WaitForPath(const std::string& path, int timeout_ms) {
    double deadline = NowMs() + timeout_ms;
    struct stat found {};
    while (lstat(path.c_str(), &found) != 0) {
        if (NowMs() >= deadline) {
            return false;
        }
        usleep(10000);
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& bytes, bool executable) {
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!file) {
            return false;
        }
    }
    return !executable || chmod(path.c_str(), 0755) == 0;
}

bool CopyFile(const std::string& from, const std::string& to) {
    struct stat source {};
    if (stat(from.c_str(), &source) != 0) {
        return false;
    }
    return WriteFile(to, ReadFile(from), (source.st_mode & S_IXUSR) != 0);
}

std::string WithoutLineFeeds(const std::string& bytes) {
    std::string kept;
    for (char c : bytes) {
        if (c != '\n') {
            kept += c;
        }
    }
    return kept;
}

std::string LineStartingWith(const std::string& text, const std::string& head) {
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

int NumberBefore(const std::string& text, const std::string& word) {
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

}  // namespace toolstest
