// BSL.EXE, a stand-in for the bootstrap loader that writes nothing into any analyzer.
//
// By default the demo's: it checks its command line (+mpvr, -c joined to a COM path, an image
// in the current folder), proves the port free by opening it exclusively with the program's
// serial module, pretends to write for K410_DEMO_BSL_MS (1500) ms, and exits as LoaderExit says.
//
// With K410_BSL_TEST set, the tests' (both platforms): it checks and prints only what these ask.
//   K410_BSL_RECORD     file to append its arguments to, one a line, then an empty line
//   K410_BSL_SAY        printed on standard output: where it lands in the console transcript
//   K410_BSL_PORTCHECK  file to append "free" or "held" to: whether the port of its -c
//                       argument could be opened exclusively
//   K410_BSL_STARTED    file to append its own path, its starter's file name and its command
//                       line to, one a line (the command line: on Windows whole, else joined)
//   K410_BSL_RAW_CONSOLE  POSIX: leaves the terminal of standard input raw, as a loader that
//                       forgets to put it back does, and appends "raw" to the file this names
//   K410_BSL_SIGNAL     POSIX: then ends by a signal: "KILL" to itself, as a loader killed from
//                       outside; "INT" to its process group, as Ctrl-C at the terminal does
//
// In both, K410_BSL_STATUS gives the status to end with: one number ("5"), or one per attempt
// ("5,5,0"; the last one repeats), counted in K410_BSL_RECORD, or for the demo (only for a
// list) in .bsl-demo-attempts in the current folder.
#ifdef _WIN32
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "com_names.h"
#include "port.h"

namespace {

const char kUsage[] =
    "usage: BSL.EXE +mpvr -c\\\\.\\COM<n> <image>.TXT   (demo loader; writes nothing)\n";

enum LoaderExit {
    LOADER_WRITTEN = 0,
    LOADER_BAD_COMMAND_LINE = 2,
    LOADER_NO_IMAGE = 3,
    LOADER_PORT_NOT_FREE = 4,
};

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void Append(const std::string& path, const std::string& text) {
    // Binary mode: the files read the same from Windows and from the Linux side of Wine.
    std::ofstream file(path, std::ios::binary | std::ios::app);
    if (!(file << text << std::flush) && !Variable("K410_BSL_TEST").empty()) {
        std::fprintf(stderr, "BSL.EXE stand-in: cannot append to %s\n", path.c_str());
        std::exit(125);
    }
}

// Appends this run's arguments to `record_path` (unless empty), and returns the status that
// K410_BSL_STATUS asks of it, the runs before it counted by the empty lines in the record. (A
// Windows exit status has 32 bits: 256 and -1 stay what they are.)
int StatusOfThisRun(const std::string& record_path, int argc, char** argv) {
    int runs = 0;
    if (!record_path.empty()) {
        std::ifstream record(record_path, std::ios::binary);
        char previous = '\n';
        for (char c = 0; record.get(c); previous = c) {
            runs += c == '\n' && previous == '\n' ? 1 : 0;
        }
        std::string arguments;
        for (int i = 1; i < argc; ++i) {
            arguments += std::string(argv[i]) + "\n";
        }
        Append(record_path, arguments + "\n");
    }
    const std::string list = Variable("K410_BSL_STATUS");
    size_t start = 0;
    for (size_t comma; runs > 0 && (comma = list.find(',', start)) != std::string::npos; --runs) {
        start = comma + 1;
    }
    return std::atoi(list.c_str() + start);
}

#ifdef _WIN32
bool OutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

std::string OwnPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

// The file name of the parent process's program, from a snapshot of the processes.
std::string ParentName() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return "";
    }
    DWORD parent = 0;
    std::map<DWORD, std::string> names;  // the parent may come before this process
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        names[entry.th32ProcessID] = entry.szExeFile;
        parent = entry.th32ProcessID == GetCurrentProcessId() ? entry.th32ParentProcessID : parent;
    }
    CloseHandle(snapshot);
    return parent != 0 ? names[parent] : "";
}

std::string CommandLine(int, char**) {
    return GetCommandLineA();
}

void EndAsAsked() {}
#else
bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

// Where the link `link` points; empty when it cannot be read (no /proc).
std::string LinkTarget(const std::string& link) {
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof(target));
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

std::string OwnPath() {
    return LinkTarget("/proc/self/exe");
}

std::string ParentName() {
    const std::string path = LinkTarget("/proc/" + std::to_string(getppid()) + "/exe");
    return path.substr(path.rfind('/') + 1);
}

std::string CommandLine(int argc, char** argv) {
    std::string line = argv[0];
    for (int i = 1; i < argc; ++i) {
        line += std::string(" ") + argv[i];
    }
    return line;
}

// K410_BSL_RAW_CONSOLE, then K410_BSL_SIGNAL (see above).
void EndAsAsked() {
    const std::string report_path = Variable("K410_BSL_RAW_CONSOLE");
    termios settings;
    if (!report_path.empty() && tcgetattr(0, &settings) == 0) {
        cfmakeraw(&settings);
        if (tcsetattr(0, TCSANOW, &settings) == 0) {
            Append(report_path, "raw\n");
        }
    }
    const std::string signal_name = Variable("K410_BSL_SIGNAL");
    if (signal_name == "KILL") {
        raise(SIGKILL);
    } else if (signal_name == "INT") {
        kill(0, SIGINT);
    }
}
#endif

int StandIn(int argc, char** argv) {
    const int status = StatusOfThisRun(Variable("K410_BSL_RECORD"), argc, argv);
    const std::string check_path = Variable("K410_BSL_PORTCHECK");
    if (!check_path.empty()) {
        char** const port = std::find_if(argv + 1, argv + argc, [](const char* argument) {
            return std::strncmp(argument, "-c", 2) == 0;
        });
        const bool free = port != argv + argc && OpenPort(*port + 2) == PORT_OK;
        ClosePort();
        Append(check_path, free ? "free\n" : "held\n");
    }
    const std::string started_path = Variable("K410_BSL_STARTED");
    if (!started_path.empty()) {
        Append(started_path,
               OwnPath() + "\n" + ParentName() + "\n" + CommandLine(argc, argv) + "\n");
    }
    const std::string say = Variable("K410_BSL_SAY");
    if (!say.empty()) {
        std::printf("%s\n", say.c_str());
        std::fflush(stdout);
    }
    EndAsAsked();
    return status;
}

// A bare file name in the current folder: the loader is given no paths.
bool IsBareName(const std::string& name) {
    return !name.empty() && name.find_first_of("/\\") == std::string::npos && name != "." &&
           name != "..";
}

int CheckCommandLine(int argc, char** argv) {
    if (argc != 4) {
        std::printf("BSL: expected 3 arguments, got %d\n%s", argc - 1, kUsage);
        return LOADER_BAD_COMMAND_LINE;
    }
    const char* const rules[] = {
        std::strcmp(argv[1], "+mpvr") != 0 ? "first argument must be +mpvr" : nullptr,
        std::strncmp(argv[2], "-c", 2) != 0 || ComPathNumber(argv[2] + 2) == 0
            ? "second argument must be -c joined to \\\\.\\COM<n>"
            : nullptr,
        !IsBareName(argv[3]) ? "the image must be a bare file name" : nullptr};
    for (int i = 0; i < 3; ++i) {
        if (rules[i] != nullptr) {
            std::printf("BSL: %s, not \"%s\"\n%s", rules[i], argv[i + 1], kUsage);
            return LOADER_BAD_COMMAND_LINE;
        }
    }
    struct stat found {};
    if (stat(argv[3], &found) != 0 || (found.st_mode & S_IFMT) != S_IFREG) {
        std::printf("BSL: image file not found in the current folder: %s\n", argv[3]);
        return LOADER_NO_IMAGE;
    }
    return LOADER_WRITTEN;
}

// Pretends to write the image: a bar of 20 steps, redrawn in place on a terminal and drawn
// step by step otherwise. Stops halfway when the attempt is to fail.
void ShowProgress(const char* image, bool fails) {
    const long long bytes =
        std::max<std::streamoff>(0, std::ifstream(image, std::ios::binary | std::ios::ate).tellg());
    const int steps = 20;
    const std::string asked = Variable("K410_DEMO_BSL_MS");
    const long step_ms = (asked.empty() ? 1500 : std::max(0L, std::atol(asked.c_str()))) / steps;
    const bool terminal = OutputIsTerminal();
    std::printf("BSL: writing %s (%lld bytes)\n%s", image, bytes, terminal ? "" : "BSL: [");
    std::fflush(stdout);
    const int last = fails ? steps / 2 : steps;
    for (int step = 1; step <= last; ++step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
        if (terminal) {
            std::printf("\rBSL: [%-*s] %3d%%", steps, std::string(step, '#').c_str(),
                        step * 100 / steps);
        } else {
            std::printf("#");
        }
        std::fflush(stdout);
    }
    if (!terminal) {
        std::printf("%*s] %d%%", steps - last, "", last * 100 / steps);
    }
    std::printf("\n");
    std::fflush(stdout);
}

int Demo(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("BSL: demo bootstrap loader (a stand-in: nothing is written to any analyzer)\n");
    if (const int checked = CheckCommandLine(argc, argv); checked != LOADER_WRITTEN) {
        return checked;
    }
    const char* port_path = argv[2] + 2;
    if (OpenPort(port_path) != PORT_OK) {
        std::printf("BSL: cannot open %s exclusively: missing, or still held by another program\n",
                    port_path);
        return LOADER_PORT_NOT_FREE;
    }
    std::printf("BSL: %s opened exclusively: the port is free\n", port_path);
    const bool counted = Variable("K410_BSL_STATUS").find(',') != std::string::npos;
    const int status = StatusOfThisRun(counted ? ".bsl-demo-attempts" : "", argc, argv) & 0xff;
    ShowProgress(argv[3], status != LOADER_WRITTEN);
    ClosePort();
    if (status != LOADER_WRITTEN) {
        std::printf("BSL: write failed (status %d, as K410_BSL_STATUS asks)\n", status);
        return status;
    }
    std::printf("BSL: verified; firmware %s written\n", argv[3]);
    return LOADER_WRITTEN;
}

}  // namespace

int main(int argc, char** argv) {
    return Variable("K410_BSL_TEST").empty() ? Demo(argc, argv) : StandIn(argc, argv);
}
