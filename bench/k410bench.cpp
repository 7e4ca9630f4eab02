// k410bench: how closely k410prog's EEPROM data download keeps to its pace, and what the
// pacing costs. Not a test; run it by hand on a quiet machine:
//
//   cmake --build build --target k410bench k410prog && build/k410bench [--lines N]
//
// It runs k410prog's download of N CRLF lines into a pseudo-terminal published as COM3 in a
// scratch Wine prefix, and prints the floor (lines x 250 ms plus every byte's 1.04 ms on the
// wire), the wall time, the overshoot per line and k410prog's CPU time (wait4). A line starts
// at its arrival, or at the program's purge just before it when the pseudo-terminal handed it
// over later (see tools/sim_lines.h); a program that started its pause when the driver said
// "sent" shows as short pauses and negative overshoot. Exits 0 when every line arrived intact,
// no pause fell short, and the mean overshoot and the CPU time stayed under their targets.
//
// Options: --lines N (default 40, at least 40), --line-bytes N (each line's bytes before its
// CR LF, 20 to 253, default 49), --program PATH (default: the k410prog of this build), --keep
// (leave the scratch folder, with k410prog's transcript, in place).
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim_clock.h"
#include "sim_lines.h"
#include "watched_line.h"

#ifndef K410PROG_PATH
#define K410PROG_PATH "k410prog"
#endif

namespace {

constexpr double kPauseMs = 250;
constexpr double kMeanOvershootTargetMs = 2;
constexpr double kCpuShareTarget = 0.01;
// How long past the floor k410prog may take before it is stopped: far more than any overshoot
// the targets allow.
constexpr double kLimitPastFloorMs = 30000;

struct BenchOptions {
    int lines = 40;
    int line_bytes = 49;
    std::string program = K410PROG_PATH;
    bool keep = false;
};

// The data file: numbered lines of `line_bytes` made-up bytes, each ended by CR LF.
std::string MakeDataFile(int lines, int line_bytes) {
    std::string data;
    for (int i = 1; i <= lines; ++i) {
        std::string line =
            Format("BENCH %04d %04X 0123456789ABCDEF FEDCBA9876543210", i, (i * 0x9E37) & 0xffff);
        while (line.size() < static_cast<size_t>(line_bytes)) {
            line += static_cast<char>('A' + line.size() % 26);
        }
        line.resize(static_cast<size_t>(line_bytes));
        data += line + "\r\n";
    }
    return data;
}

int ParseOptions(int argc, char** argv, BenchOptions* options) {
    static const option kLong[] = {
        {"lines", required_argument, nullptr, 'n'},
        {"line-bytes", required_argument, nullptr, 'b'},
        {"program", required_argument, nullptr, 'p'},
        {"keep", no_argument, nullptr, 'k'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int choice = 0;
    while ((choice = getopt_long(argc, argv, "n:b:p:kh", kLong, nullptr)) != -1) {
        // A line of at most 253 bytes, CR LF included, is one piece.
        const bool lines = choice == 'n';
        if (choice == 'n' || choice == 'b') {
            int* value = lines ? &options->lines : &options->line_bytes;
            *value = std::atoi(optarg);
            if (*value < (lines ? 40 : 20) || *value > (lines ? 100000 : 253)) {
                std::fprintf(stderr, "k410bench: %s\n",
                             lines ? "--lines takes 40 to 100000" : "--line-bytes takes 20 to 253");
                return 2;
            }
        } else if (choice == 'p') {
            options->program = optarg;
        } else if (choice == 'k') {
            options->keep = true;
        } else {
            std::printf(
                "usage: k410bench [--lines N (>= 40)] [--line-bytes N (20-253)] "
                "[--program PATH] [--keep]\n");
            return choice == 'h' ? 1 : 2;
        }
    }
    return 0;
}

// Starts k410prog with the answers 3 N N N N S (only the download) waiting on its input.
pid_t StartProgram(const BenchOptions& options, const std::string& folder,
                   const std::string& prefix) {
    const char kAnswers[] = "3\nN\nN\nN\nN\nS\n";
    int answers[2];
    if (pipe2(answers, O_CLOEXEC) != 0 || write(answers[1], kAnswers, sizeof kAnswers - 1) < 0) {
        return -1;
    }
    close(answers[1]);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open((folder + "/transcript.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        dup2(answers[0], STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        setenv("WINEPREFIX", prefix.c_str(), 1);
        execl(options.program.c_str(), options.program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(answers[0]);
    return pid;
}

struct Figures {
    size_t pauses = 0;
    double mean = 0;
    double worst = 0;
};

// Each line's overshoot: from its end on the wire to the next line's start, or to the close
// after the last line, less the pause.
Figures Overshoots(const std::vector<ReceivedLine>& lines, double close_ms) {
    Figures figures;
    figures.pauses = close_ms < 0 && !lines.empty() ? lines.size() - 1 : lines.size();
    for (size_t i = 0; i < figures.pauses; ++i) {
        const bool last = i + 1 == lines.size();
        const double next = last ? close_ms : lines[i + 1].first_ms - lines[i + 1].delay_ms;
        const double overshoot = next - lines[i].end_ms - kPauseMs;
        figures.worst = i == 0 ? overshoot : std::max(figures.worst, overshoot);
        figures.mean += overshoot;
    }
    figures.mean /= static_cast<double>(std::max<size_t>(figures.pauses, 1));
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    if (const int parsed = ParseOptions(argc, argv, &options); parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string folder = MakeScratchFolder("k410bench");
    if (folder.empty()) {
        std::perror("k410bench: scratch folder");
        return 2;
    }
    std::string data = MakeDataFile(options.lines, options.line_bytes);
    std::string error;
    WatchedLine line;
    std::ofstream data_file(folder + "/K410HELP(64K).TXT", std::ios::binary);
    if (!data_file.write(data.data(), static_cast<std::streamsize>(data.size())).flush() ||
        OpenWatchedLine(folder + "/prefix", 3, &line, &error) != 0) {
        std::fprintf(stderr, "k410bench: cannot set up: %s\n", error.c_str());
        return 2;
    }
    const char* priority = AskForPromptWakeups();
    // The program sends each line less its line feed.
    std::string expected = data;
    expected.erase(std::remove(expected.begin(), expected.end(), '\n'), expected.end());
    LineSplitter splitter;  // pauses judged against 250 ms, as kPauseMs
    const double wire_ms = static_cast<double>(expected.size()) * splitter.byte_ms;
    const double floor_ms = options.lines * kPauseMs + wire_ms;

    double started_ms = NowMs();
    pid_t pid = StartProgram(options, folder, line.prefix);
    if (pid < 0) {
        std::perror("k410bench: cannot start k410prog");
        return 2;
    }
    int exit_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));

    std::vector<ReceivedLine> lines;
    std::string received;
    double last_close_ms = -1;
    double limit_ms = started_ms + floor_ms + kLimitPastFloorMs;
    rusage usage{};
    int status = 0;
    double exited_ms = 0;  // 0 until it has exited
    while (exited_ms <= 0) {
        double now = NowMs();
        if (now > limit_ms) {
            std::fprintf(stderr, "k410bench: k410prog did not finish in time; stopping it\n");
            kill(pid, SIGKILL);
            limit_ms = now + 5000;
        }
        pollfd watched[3] = {
            {line.master, POLLIN, 0}, {line.watch.fd(), POLLIN, 0}, {exit_fd, POLLIN, 0}};
        int ready = poll(watched, exit_fd >= 0 ? 3 : 2, exit_fd >= 0 ? 1000 : 10);
        now = NowMs();
        if (ready < 0 && errno != EINTR) {
            break;
        }
        LinePacket packet;
        if ((watched[0].revents & POLLIN) && ReadPacket(line, &packet) > 0) {
            if (!packet.data.empty()) {
                received += packet.data;
                FeedBytes(&splitter, packet.data.data(), static_cast<int>(packet.data.size()), now,
                          &lines);
            } else if (packet.input_purged) {
                NotePurge(&splitter, now);
            }
        }
        std::vector<OpenWatch::Event> events;
        line.watch.Take(&events);
        for (const OpenWatch::Event& event : events) {
            last_close_ms = event.opened ? last_close_ms : now;
        }
        exited_ms = wait4(pid, &status, WNOHANG, &usage) == pid ? now : 0;
    }
    EndPendingLine(&splitter, &lines);

    double wall_ms = exited_ms - started_ms;
    double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    double cpu_share = wall_ms > 0 ? cpu_ms / wall_ms : 1;
    Figures figures = Overshoots(lines, last_close_ms);
    bool intact = received == expected && splitter.lines == options.lines;
    bool exited_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    bool pass = intact && exited_ok && splitter.short_pauses == 0 && figures.pauses > 0 &&
                figures.mean < kMeanOvershootTargetMs && cpu_share < kCpuShareTarget;

    std::printf(
        "k410bench: EEPROM data download of %d CRLF lines of %d bytes into a pseudo-terminal\n",
        options.lines, options.line_bytes);
    std::printf("  program             %s (exit status %d)\n", options.program.c_str(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::printf("  lines               %d received of %d, %s\n", splitter.lines, options.lines,
                intact ? "every byte intact" : "NOT INTACT");
    std::printf("  floor               %.1f ms (%d x 250 ms + %.1f ms on the wire for %zu bytes)\n",
                floor_ms, options.lines, wire_ms, expected.size());
    if (!lines.empty() && last_close_ms > 0) {
        const double download_ms =
            last_close_ms - (lines.front().first_ms - lines.front().delay_ms);
        std::printf(
            "  download            %.1f ms (first line to the port's close), %+.1f ms "
            "against the floor\n",
            download_ms, download_ms - floor_ms);
    }
    std::printf("  wall time           %.1f ms (k410prog's start to its exit)\n", wall_ms);
    std::printf(
        "  overshoot per line  mean %.3f ms, worst %.3f ms over %zu pauses "
        "(target: mean < %.0f ms)\n",
        figures.mean, figures.worst, figures.pauses, kMeanOvershootTargetMs);
    std::printf(
        "  shortest pause      %.3f ms after its line was off the wire (%d under 250 ms, %d "
        "of them begun with the line on the wire, measured to within %.1f ms; %d evened out by "
        "the pause before)\n",
        splitter.shortest_pause_ms, splitter.short_pauses, splitter.on_the_wire,
        splitter.tolerance_ms, splitter.evened_out);
    std::printf("  timing              %s\n", priority);
    std::printf("  CPU time            %.1f ms user+sys = %.3f%% of wall (target: < %.0f%%)\n",
                cpu_ms, cpu_share * 100, kCpuShareTarget * 100);
    std::printf("  result              %s\n", pass ? "PASS" : "FAIL");

    if (options.keep) {
        std::printf("  scratch folder      %s (kept)\n", folder.c_str());
    } else {
        WithdrawWatchedLine(line, true);
        unlink((folder + "/K410HELP(64K).TXT").c_str());
        unlink((folder + "/transcript.txt").c_str());
        rmdir(folder.c_str());
    }
    return pass ? 0 : 1;
}
