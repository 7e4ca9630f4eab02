#include "fault_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr int kPieceMax = 255;

void ReadUntilStopped(Analyzer* analyzer) {
    char buffer[512];
    while (!analyzer->stop.load()) {
        pollfd waiter{analyzer->master, POLLIN, 0};
        if (poll(&waiter, 1, 20) <= 0) {
            continue;
        }
        ssize_t n = read(analyzer->master, buffer, sizeof buffer);
        if (n > 0) {
            std::lock_guard<std::mutex> guard(analyzer->lock);
            analyzer->received.append(buffer, static_cast<size_t>(n));
        } else {
            // No slave open for a moment; look again shortly.
            usleep(5000);
        }
    }
}

std::vector<std::string> Pieces(const std::string& file) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : file) {
        piece += c;
        if (c == '\n' || piece.size() == kPieceMax) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) {
        pieces.push_back(piece);
    }
    return pieces;
}

void Drain(int fd, std::string* into) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR) {
        n = read(fd, buffer, sizeof buffer);
    }
    if (n > 0) {
        into->append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

std::string StandardDataFile() {
    return "ALPHA 1\r\nBRAVO 22\r\n" + std::string(300, 'L') + "\r\nDELTA 4444";
}

std::string WireBytes(const std::string& file) {
    return WireBytesOfPieces(file, 1 << 30);
}

std::string WireBytesOfPieces(const std::string& file, int pieces) {
    std::string wire;
    int taken = 0;
    for (const std::string& piece : Pieces(file)) {
        if (taken++ == pieces) {
            break;
        }
        wire += piece.back() == '\n' ? piece.substr(0, piece.size() - 1) : piece;
    }
    return wire;
}

bool StartAnalyzer(Analyzer* analyzer) {
    char name[256];
    if (openpty(&analyzer->master, &analyzer->slave, name, nullptr, nullptr) != 0) {
        return false;
    }
    analyzer->slave_name = name;
    termios settings;
    tcgetattr(analyzer->slave, &settings);
    settings.c_cc[VMIN] = 7;
    settings.c_cc[VTIME] = 3;
    tcsetattr(analyzer->slave, TCSANOW, &settings);
    analyzer->reader = std::thread(ReadUntilStopped, analyzer);
    return true;
}

void StopAnalyzer(Analyzer* analyzer) {
    if (analyzer->reader.joinable()) {
        usleep(100000);
        analyzer->stop.store(true);
        analyzer->reader.join();
    }
    if (analyzer->slave >= 0) {
        close(analyzer->slave);
    }
    if (analyzer->master >= 0) {
        close(analyzer->master);
    }
    analyzer->slave = analyzer->master = -1;
}

std::string Received(Analyzer* analyzer, size_t expected) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(analyzer->lock);
            if (analyzer->received.size() >= expected ||
                std::chrono::steady_clock::now() > deadline) {
                break;
            }
        }
        usleep(10000);
    }
    // A little longer, so that a byte too many (sent twice, or invented) shows as well.
    usleep(100000);
    std::lock_guard<std::mutex> guard(analyzer->lock);
    return analyzer->received;
}

termios LineSettings(const Analyzer& analyzer) {
    termios settings{};
    tcgetattr(analyzer.slave, &settings);
    return settings;
}

bool LineExclusive(const Analyzer& analyzer) {
    int exclusive = 0;
    ioctl(analyzer.slave, TIOCGEXCL, &exclusive);
    return exclusive != 0;
}

RunResult RunProgram(const std::string& folder, const Analyzer& analyzer,
                     const std::string& answers, const std::string& faults, double limit_seconds) {
    RunResult result;
    std::vector<std::string> environment = {
        "PATH=/usr/bin:/bin",
        "HOME=" + folder,
        "WINEPREFIX=" + folder,
        std::string("LD_PRELOAD=") + K410_INTERPOSER_PATH,
        "K410_FAULT=" + faults,
        "K410_FAULT_DEVICE=" + analyzer.slave_name,
        "K410_FAULT_LOG=" + folder + "/fault.log",
    };
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = getenv(name)) {
            environment.push_back(std::string(name) + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(&entry[0]);
    }
    envp.push_back(nullptr);
    std::string program = K410PROG_PATH;
    char* argv[] = {&program[0], nullptr};

    int input[2], output[2], errors[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 ||
        pipe2(errors, O_CLOEXEC) != 0) {
        return result;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec: the test runs threads.
        if (chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(errors[1], 2);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    close(errors[1]);
    // The answers are short: the pipe takes them all at once, and its end is the end of input.
    ssize_t ignored = write(input[1], answers.data(), answers.size());
    (void)ignored;
    close(input[1]);

    auto deadline = start + std::chrono::duration<double>(limit_seconds);
    bool output_open = true, errors_open = true;
    while (output_open || errors_open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timed_out = true;
            kill(child, SIGKILL);
            break;
        }
        pollfd waiters[2] = {{output_open ? output[0] : -1, POLLIN, 0},
                             {errors_open ? errors[0] : -1, POLLIN, 0}};
        if (poll(waiters, 2, static_cast<int>(left)) <= 0) {
            continue;
        }
        if (waiters[0].revents != 0) {
            size_t before = result.output.size();
            Drain(output[0], &result.output);
            output_open = result.output.size() != before;
        }
        if (waiters[1].revents != 0) {
            size_t before = result.errors.size();
            Drain(errors[0], &result.errors);
            errors_open = result.errors.size() != before;
        }
    }
    close(output[0]);
    close(errors[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.fault_log = ReadFile(folder + "/fault.log");
    return result;
}

std::string MakeScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "k410fault.XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        return "";
    }
    std::filesystem::create_directory(pattern + "/dosdevices");
    return pattern;
}

void RemoveScratchFolder(const std::string& folder) {
    std::error_code ignored;
    if (!folder.empty()) {
        std::filesystem::remove_all(folder, ignored);
    }
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void WriteLoader(const std::string& folder, const std::string& body) {
    std::string path = folder + "/BSL.EXE";
    // printf, not echo: dash's echo would take the backslashes of \\.\COM3 as escapes.
    WriteFile(path, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> bsl-args.txt\n" + body + "\n");
    chmod(path.c_str(), 0755);
}
