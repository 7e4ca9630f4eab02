// Test harness: runs programs the way a technician does, and stands in for the loader.
//
// RunProcess starts a command in a folder of its own with answers on standard input (closed
// after them), standard output and standard error collected, and variables added to the test's
// own environment (LD_PRELOAD, say). It runs in a process group of its own; when it has not
// ended within its limit the whole group is killed and the run reported as timed out, and
// whatever it left running is killed after it ends. StartProcess and StopProcess run a helper
// (the virtual analyzer) in the background the same way.
//
// RunProgram runs the program under test: the native build unless K410_PROGRAM names another
// command line (words separated by blanks): the native build under a checker ("valgrind -q
// /path/to/k410prog"), or a Windows build under Wine ("wine /path/to/k410prog.exe"), for which
// K410_WINEPREFIX names the (booted) Wine prefix in which the analyzer's line is published and
// K410_BSL_STANDIN the stand-in loader to copy in (the Windows build's).
//
// Every wait here is bounded; nothing in this harness can hang a test.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace k410test {

// Variables added to (or replacing those of) the test's own environment: {name, value}.
using Environment = std::vector<std::pair<std::string, std::string>>;

struct Command {
    std::vector<std::string> argv;  // argv[0]: a path, or a name looked up in PATH
    std::string folder;             // its current folder; empty: the test's own
    std::string input;              // its standard input, closed after these bytes
    Environment environment;
    double limit_seconds = 60;
    bool errors_into_output = false;  // standard error joins standard output, in order
    // When not -1, standard input is this descriptor instead of `input`: the reading end of a
    // pipe (close-on-exec) whose other end the test feeds as the run goes.
    int input_fd = -1;
    // Standard output is a pseudo-terminal (raw: the bytes pass unchanged), not a pipe.
    bool output_to_terminal = false;
    // Called from the runner's thread with all the output so far, whenever more has come.
    std::function<void(const std::string&)> on_output = nullptr;
    // Once standard output contains `signal_at`, `signal_number` goes to the command's process
    // group, as a terminal sends Ctrl-C to its foreground job; standard input stays open until
    // then. 0: no signal.
    int signal_number = 0;
    std::string signal_at = std::string();
    // Standard output is closed after this many bytes, as `head -c` closes a pipe; 0: never.
    size_t output_limit = 0;
};

struct ProcessRun {
    std::string output;  // standard output
    std::string errors;  // standard error (empty with errors_into_output)
    int status = -1;     // exit status; -1 when it did not exit by itself (a signal, killed)
    int signal = 0;      // the signal that ended it, when one did and the harness did not
    bool timed_out = false;
    double seconds = 0;  // wall time of the run
};

// Runs `command` until it ends or its limit passes (see above).
ProcessRun RunProcess(const Command& command);

// Starts `argv` in the background in a process group of its own, with standard output and
// standard error to `output_path` and no input. Returns its process id, or -1.
pid_t StartProcess(const std::vector<std::string>& argv, const std::string& output_path);

// Sends `signal_number` (unless 0) and waits up to `timeout_ms` for the process to end; kills
// its group after that. Returns its exit status, or -1 if it did not exit by itself in time.
int StopProcess(pid_t pid, int signal_number, int timeout_ms);

// Runs the program under test as `command` says; the program's command line is added to its
// argv, which may hold a wrapper that ends by running it ("sh -c ..."); it is killed after the
// command's limit. A Windows build's line ends (CRLF) come out as "\n". Its standard error,
// if any, is passed on to the test's own.
ProcessRun RunProgram(Command command);

// True when the program under test is a Windows build under Wine (K410_PROGRAM and
// K410_WINEPREFIX set), where some things cannot be shown: Wine ignores flock() and keeps no read
// time-outs of a device between its opens. The native build under a checker is not foreign.
bool ProgramIsForeign();

// The Wine prefix in which the analyzer's line must be published for the program under test:
// K410_WINEPREFIX when set, else `scratch`.
std::string WinePrefixFor(const std::string& scratch);

// Puts the stand-in loader into `folder` as BSL.EXE: the native build's, or the one
// K410_BSL_STANDIN names. What its runs record, print and end with in its tests' mode
// (K410_BSL_TEST set) is told in tools/bsl.cpp.
void PutStandInLoader(const std::string& folder);

// The arguments of every run recorded by the stand-in loader, one vector per run.
std::vector<std::vector<std::string>> LoaderRuns(const std::string& record_path);

}  // namespace k410test
