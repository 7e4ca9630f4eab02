// A stand-in for the bootstrap loader BSL.EXE, built for the native tests and, with mingw-w64,
// for the Windows ones, so that one end-to-end suite serves both builds. It writes nothing to
// the analyzer.
//
//   K410_BSL_RECORD     file to which each run appends its arguments, one a line, then an
//                       empty line ending the run (nothing is recorded when unset)
//   K410_BSL_STATUS     exit status; a list separated by commas gives the status of each run in
//                       turn (runs counted in the record), the last one repeating; 0 when unset
//   K410_BSL_SAY        printed on standard output when set, so a test sees where the loader's
//                       output lands in the console transcript
//   K410_BSL_PORTCHECK  file to which each run appends "free" or "held": whether the port named
//                       by the -c argument could be opened exclusively, by the program's own
//                       serial module, so that COM<n> is the device the program itself used
//   K410_BSL_STARTED    file to which each run appends three lines: this program's own path, the
//                       file name of the program of the process that started it (Windows: from
//                       the process snapshot; Linux: /proc; empty elsewhere), and its command
//                       line as it got it (Windows: whole; POSIX: the arguments joined by
//                       blanks), so that a test sees what ran it and with which command line
//   K410_BSL_SIGNAL     POSIX systems: the run ends by a signal instead of a status, after all
//                       of the above. "KILL": SIGKILL to itself, as a loader killed from outside
//                       ends; "INT": SIGINT to its whole process group, the program included, as
//                       Ctrl-C at the terminal reaches the foreground job.
//   K410_BSL_RAW_CONSOLE  POSIX systems: leaves the terminal of standard input raw and without
//                       echo, as a loader that forgets to put it back does, and writes "raw" to
//                       the file this names once it has.
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "port.h"

namespace {

// The variable's value; empty when it is unset. (On Windows the system's own call: the C
// library's getenv is one MSVC warns about.)
std::string Variable(const char* name) {
#ifdef _WIN32
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
    return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
#else
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
#endif
}

// The runs recorded before this one: the empty lines in the record.
int RunsBefore(const std::string& record_path) {
    std::ifstream record(record_path, std::ios::binary);
    int runs = 0;
    char previous = '\n';
    char c = 0;
    while (record.get(c)) {
        if (c == '\n' && previous == '\n') {
            ++runs;
        }
        previous = c;
    }
    return runs;
}

void Append(const std::string& path, const std::string& text) {
    // Binary mode: the files read the same from Windows and from the Linux side of Wine.
    std::ofstream file(path, std::ios::binary | std::ios::app);
    if (!file.write(text.data(), static_cast<std::streamsize>(text.size())).flush()) {
        std::fprintf(stderr, "BSL.EXE stand-in: cannot append to %s\n", path.c_str());
        std::exit(125);
    }
}

// The status for run number `run` (from 0) out of "a,b,c".
int StatusFor(const std::string& statuses, int run) {
    const std::string list = statuses.empty() ? "0" : statuses;
    size_t start = 0;
    for (int i = 0; i < run; ++i) {
        const size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return std::atoi(list.c_str() + start);
}

// "free" when the port of the -c argument can be had exclusively, else "held".
std::string PortCheck(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-c", 2) == 0) {
            const bool free = OpenPort(argv[i] + 2) == PORT_OK;
            ClosePort();
            return free ? "free" : "held";
        }
    }
    return "held";
}

#ifdef _WIN32
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
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
        }
    }
    std::string name;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        if (parent != 0 && entry.th32ProcessID == parent) {
            name = entry.szExeFile;
        }
    }
    CloseHandle(snapshot);
    return name;
}

std::string CommandLine(int, char**) {
    return GetCommandLineA();
}
#else
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
        line += ' ';
        line += argv[i];
    }
    return line;
}
#endif

// Ends the run by the signal that `name` asks for, if any (see above).
void EndBySignal(const std::string& name) {
#ifndef _WIN32
    if (name == "KILL") {
        raise(SIGKILL);
    } else if (name == "INT") {
        kill(0, SIGINT);
    }
#else
    (void)name;
#endif
}

// Leaves the console raw (see above); says so in `report_path` once it has.
void LeaveConsoleRaw(const std::string& report_path) {
#ifndef _WIN32
    termios settings;
    if (report_path.empty() || tcgetattr(0, &settings) != 0) {
        return;
    }
    cfmakeraw(&settings);
    if (tcsetattr(0, TCSANOW, &settings) == 0) {
        Append(report_path, "raw\n");
    }
#else
    (void)report_path;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    int run = 0;
    const std::string record_path = Variable("K410_BSL_RECORD");
    if (!record_path.empty()) {
        run = RunsBefore(record_path);
        std::string record;
        for (int i = 1; i < argc; ++i) {
            record += argv[i];
            record += '\n';
        }
        Append(record_path, record + "\n");
    }
    const std::string check_path = Variable("K410_BSL_PORTCHECK");
    if (!check_path.empty()) {
        Append(check_path, PortCheck(argc, argv) + "\n");
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
    LeaveConsoleRaw(Variable("K410_BSL_RAW_CONSOLE"));
    EndBySignal(Variable("K410_BSL_SIGNAL"));
    return StatusFor(Variable("K410_BSL_STATUS"), run);
}
