#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>

#include "files.h"
#include "pty.h"

extern char** environ;

namespace k410test {

namespace {

using Clock = std::chrono::steady_clock;

// The test's own environment with `extra` added, as NAME=value entries; of two entries of
// `extra` with one name, the later wins.
std::vector<std::string> EnvironmentWith(const Environment& extra) {
    std::map<std::string, std::string> values;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry;
        const size_t equals = setting.find('=');
        values[setting.substr(0, equals)] = setting.substr(equals + 1);
    }
    for (const auto& variable : extra) {
        values[variable.first] = variable.second;
    }
    std::vector<std::string> entries;
    for (const auto& value : values) {
        entries.push_back(value.first + "=" + value.second);
    }
    return entries;
}

void CloseAll(std::initializer_list<int> fds) {
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// For exec: pointers into `words`, ended by a null pointer.
std::vector<char*> Pointers(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) {
        pointers.push_back(&word[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Between fork and exec only async-signal-safe calls: the tests run threads of their own.
[[noreturn]] void BecomeCommand(const char* folder, char** argv, char** envp, int input, int output,
                                int errors) {
    setpgid(0, 0);
    // As a terminal session starts it, whatever the test's own runner ignores.
    for (int signal_number : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        signal(signal_number, SIG_DFL);
    }
    dup2(input, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(errors, STDERR_FILENO);
    if (*folder != '\0' && chdir(folder) != 0) {
        _exit(126);
    }
    execvpe(argv[0], argv, envp);
    _exit(127);
}

// The channel for a command's output: [0] the test reads, [1] the command writes. A pipe, or a
// pseudo-terminal in raw mode (master, slave) so that the command's output is a terminal and
// its bytes still arrive unchanged. False on failure.
bool OutputChannel(bool terminal, int channel[2]) {
    if (!terminal) {
        return pipe2(channel, O_CLOEXEC) == 0;
    }
    std::string slave_path;
    if (!OpenPtyPair(&channel[0], &channel[1], &slave_path)) {
        return false;
    }
    termios raw;
    tcgetattr(channel[1], &raw);
    cfmakeraw(&raw);
    tcsetattr(channel[1], TCSANOW, &raw);
    return true;
}

// Reads what is there; closes the descriptor at its end (a terminal's master reads EIO once
// the command's end is closed).
void Collect(int* fd, std::string* into) {
    char buffer[4096];
    ssize_t count = read(*fd, buffer, sizeof buffer);
    if (count > 0) {
        into->append(buffer, static_cast<size_t>(count));
    } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(*fd);
        *fd = -1;
    }
}

// Feeds the input and collects the output until the command has closed its output (and its
// errors), or the deadline passes; sends the command's signal on its cue.
void Converse(pid_t pid, int input_fd, int output_fd, int errors_fd, const Command& command,
              Clock::time_point deadline, ProcessRun* run) {
    const std::string& input = command.input;
    size_t fed = 0;
    bool signal_due = command.signal_number != 0;
    fcntl(input_fd, F_SETFL, O_NONBLOCK);
    if (input.empty() && !signal_due) {
        close(input_fd);
        input_fd = -1;
    }
    while (output_fd >= 0 || errors_fd >= 0) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            run->timed_out = true;
            break;
        }
        pollfd watched[3] = {{output_fd, POLLIN, 0},
                             {errors_fd, POLLIN, 0},
                             {fed < input.size() ? input_fd : -1, POLLOUT, 0}};
        if (poll(watched, 3, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        if (watched[2].revents != 0) {
            ssize_t count = write(input_fd, input.data() + fed, input.size() - fed);
            fed += count > 0 ? static_cast<size_t>(count) : 0;
            if (count < 0 && errno != EAGAIN && errno != EINTR) {
                fed = input.size();
            }
        }
        if (watched[0].revents != 0) {
            const size_t before = run->output.size();
            Collect(&output_fd, &run->output);
            if (command.on_output && run->output.size() > before) {
                command.on_output(run->output);
            }
            if (command.output_limit != 0 && run->output.size() >= command.output_limit &&
                output_fd >= 0) {
                close(output_fd);
                output_fd = -1;
            }
        }
        if (watched[1].revents != 0) {
            Collect(&errors_fd, &run->errors);
        }
        if (signal_due && run->output.find(command.signal_at) != std::string::npos) {
            kill(-pid, command.signal_number);
            signal_due = false;
        }
        if (input_fd >= 0 && fed == input.size() && !signal_due) {
            close(input_fd);
            input_fd = -1;
        }
    }
    CloseAll({input_fd, output_fd, errors_fd});
}

// Waits for `pid` until `deadline`; true with `status` set when it was reaped.
bool ReapBy(pid_t pid, Clock::time_point deadline, int* status) {
    for (;;) {
        pid_t reaped = waitpid(pid, status, WNOHANG);
        if (reaped == pid) {
            return true;
        }
        if ((reaped < 0 && errno != EINTR) || Clock::now() >= deadline) {
            return false;
        }
        usleep(5000);
    }
}

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
        if (text.compare(i, 2, "\r\n") != 0) {
            result += text[i];
        }
    }
    return result;
}

}  // namespace

ProcessRun RunProcess(const Command& command) {
    ProcessRun run;
    if (command.argv.empty()) {
        return run;
    }
    std::vector<std::string> words = command.argv;
    std::vector<char*> argv = Pointers(words);
    std::vector<std::string> settings = EnvironmentWith(command.environment);
    std::vector<char*> envp = Pointers(settings);
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    if (pipe2(input, O_CLOEXEC) != 0 || !OutputChannel(command.output_to_terminal, output) ||
        (!command.errors_into_output && pipe2(errors, O_CLOEXEC) != 0)) {
        CloseAll({input[0], input[1], output[0], output[1]});
        return run;
    }
    // A command that stops reading its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(command.limit_seconds));
    pid_t pid = fork();
    if (pid == 0) {
        BecomeCommand(command.folder.c_str(), argv.data(), envp.data(),
                      command.input_fd >= 0 ? command.input_fd : input[0], output[1],
                      command.errors_into_output ? output[1] : errors[1]);
    }
    CloseAll({input[0], output[1], errors[1]});
    if (pid < 0) {
        CloseAll({input[1], output[0], errors[0]});
        return run;
    }
    setpgid(pid, pid);
    Converse(pid, input[1], output[0], errors[0], command, deadline, &run);
    int status = 0;
    if (run.timed_out || !ReapBy(pid, deadline, &status)) {
        run.timed_out = true;
        kill(-pid, SIGKILL);
        ReapBy(pid, Clock::now() + std::chrono::seconds(5), &status);
    } else {
        kill(-pid, SIGKILL);  // nothing it started may outlive the test
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

pid_t StartProcess(const std::vector<std::string>& argv, const std::string& output_path) {
    std::vector<std::string> words = argv;
    std::vector<char*> arguments = Pointers(words);
    const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t pid = output < 0 || nothing < 0 ? -1 : fork();
    if (pid == 0) {
        BecomeCommand("", arguments.data(), environ, nothing, output, output);
    }
    CloseAll({output, nothing});
    if (pid > 0) {
        setpgid(pid, pid);
    }
    return pid;
}

int StopProcess(pid_t pid, int signal_number, int timeout_ms) {
    if (pid <= 0) {
        return -1;
    }
    if (signal_number != 0) {
        kill(pid, signal_number);
    }
    int status = 0;
    if (!ReapBy(pid, Clock::now() + std::chrono::milliseconds(timeout_ms), &status)) {
        kill(-pid, SIGKILL);
        ReapBy(pid, Clock::now() + std::chrono::seconds(5), &status);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessRun RunProgram(Command command) {
    std::vector<std::string> program = ProgramCommand();
    command.argv.insert(command.argv.end(), program.begin(), program.end());
    ProcessRun run = RunProcess(command);
    // A Windows program's console is in text mode: its line ends come out as CRLF.
    if (ProgramIsForeign()) {
        run.output = WithUnixLineEnds(run.output);
    }
    std::cerr << run.errors;
    return run;
}

bool ProgramIsForeign() {
    const char* other = std::getenv("K410_PROGRAM");
    const char* prefix = std::getenv("K410_WINEPREFIX");
    return other != nullptr && *other != '\0' && prefix != nullptr && *prefix != '\0';
}

std::string WinePrefixFor(const std::string& scratch) {
    const char* prefix = std::getenv("K410_WINEPREFIX");
    return prefix != nullptr && *prefix != '\0' ? prefix : scratch;
}

void PutStandInLoader(const std::string& folder) {
    const std::string path = folder + "/BSL.EXE";
    const char* standin = std::getenv("K410_BSL_STANDIN");
    CopyFile(standin != nullptr && *standin != '\0' ? standin : K410_BSL_STANDIN_PATH, path);
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

}  // namespace k410test
