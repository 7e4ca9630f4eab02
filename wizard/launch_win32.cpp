// The loader on Windows, started directly with CreateProcess. Through cmd.exe it failed on PCs
// that are common enough: an AutoRun entry for cmd.exe that changes the folder first, a folder
// on a network share (cmd.exe will not run in a UNC folder and falls back to C:\Windows), and
// NoDefaultCurrentDirectoryInExePath, with which cmd.exe no longer looks in the current folder.
// The loader gets the same command line and the same console as before.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "console.h"
#include "interrupt_win32.h"
#include "loader.h"
#include "port_win32.h"

namespace {

bool IsProgramFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The value of PATH; empty when it is unset.
std::string PathVariable() {
    const DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (size == 0) {
        return "";
    }
    std::string value(size, '\0');
    const DWORD length = GetEnvironmentVariableA("PATH", &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
}

// `folder` of PATH as a prefix for a file name: without the quotes cmd.exe allows around a
// folder, with a backslash at its end.
std::string AsPrefix(std::string folder) {
    if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
        folder = folder.substr(1, folder.size() - 2);
    }
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') {
        folder += '\\';
    }
    return folder;
}

// ERROR_ELEVATION_REQUIRED, which mingw-w64's headers lack: the program's manifest asks for
// administrator rights, and CreateProcess does not ask the user for them.
constexpr DWORD kElevationRequired = 740;

// The system's words for `error`, in the console's code page, without the line end and full
// stop they come with; the insert some have ("%1 is not a valid Win32 application") is `name`.
std::string SystemMessage(DWORD error, const std::string& name) {
    wchar_t text[512];
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof(text) / sizeof(text[0]), nullptr);
    std::string message = length > 0 ? ConsoleText(text) : std::string();
    while (!message.empty() &&
           (message.back() == '.' || std::isspace(static_cast<unsigned char>(message.back())))) {
        message.pop_back();
    }
    const size_t insert = message.find("%1");
    return insert == std::string::npos ? message : message.replace(insert, 2, name);
}

// Why CreateProcessA did not start the loader `name`, in the technician's terms. Trying again
// helps with none of these.
std::string WhyNotStarted(const std::string& name, DWORD error) {
    std::string told;
    switch (error) {
        case ERROR_BAD_EXE_FORMAT:
        case ERROR_EXE_MACHINE_TYPE_MISMATCH:
            told = name +
                   " cannot run on this Windows: it is a 16-bit, DOS or other-architecture "
                   "program";
            break;
        case kElevationRequired:
            told = name + " was not started: it asks to be run as administrator";
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_ACCESS_DISABLED_BY_POLICY:
            told = name +
                   " was not started: it is blocked (by antivirus software, or by AppLocker "
                   "or another policy)";
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            told = name + " was not found";
            break;
        default:
            told = name + " could not be started";
            break;
    }
    return ReasonLine(told, SystemMessage(error, name));
}

// `words` as one command line, split again the way the C runtime splits it (LLVM's
// flattenWindowsCommandLine): a word with a blank, a tab or a quote, or an empty one, goes in
// quotes, with its quotes and the backslashes before them escaped. The loader's words have none
// of these, so its command line is its words joined by blanks.
std::string CommandLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += line.empty() ? "" : " ";
        if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) {
            line += word;
            continue;
        }
        size_t backslashes = 0;
        line += '"';
        for (char c : word) {
            line.append(c == '"' ? backslashes + 1 : 0, '\\');
            backslashes = c == '\\' ? backslashes + 1 : 0;
            line += c;
        }
        line.append(backslashes, '\\');
        line += '"';
    }
    return line;
}

// Starts `program` with `command_line` in this console, with this program's standard handles,
// and waits for it however long it takes (writing the firmware takes minutes). Returns its
// exit code; 1 when it could not be started (`*error` is then why) or its exit code could not be
// had.
DWORD RunAndWait(const std::string& program, const std::string& command_line, DWORD* error) {
    // CreateProcessA may write into the command line it is given.
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION loader = {};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &loader)) {
        *error = GetLastError();
        return 1;
    }
    CloseHandle(loader.hThread);
    WaitForSingleObject(loader.hProcess, INFINITE);
    DWORD status = 1;
    if (!GetExitCodeProcess(loader.hProcess, &status)) {
        status = 1;
    }
    CloseHandle(loader.hProcess);
    return status;
}

}  // namespace

// The current folder first, then each folder on PATH in order, as the README tells the
// technician. Not SearchPathA's order: it looks in this program's own folder first.
std::string FindLoaderProgram(const std::string& name) {
    if (name.find_first_of("\\/:") != std::string::npos) {
        return name;
    }
    if (IsProgramFile(name)) {
        return ".\\" + name;
    }
    const std::string folders = PathVariable();
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(';', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        const std::string folder = folders.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = AsPrefix(folder) + name;
            if (IsProgramFile(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return "";
}

int LaunchLoader(const std::vector<std::string>& words, std::string* not_started) {
    const std::string name = words.empty() ? "" : words[0];
    std::string ignored;
    std::string& why = not_started != nullptr ? *not_started : ignored;
    why.clear();
    const std::string program = FindLoaderProgram(name);
    if (program.empty()) {
        why = ReasonLine(name + " is not in this folder or on PATH", "");
        return 1;
    }
    // The loader writes to the same console: what we printed must be there before its output.
    std::cout.flush();
    std::fflush(stdout);
    // Whatever console modes the loader leaves, the switch-off prompt reads as before it.
    SaveConsoleState();
    SetLoaderRunning(true);
    DWORD error = ERROR_SUCCESS;
    const DWORD status = RunAndWait(program, CommandLine(words), &error);
    SetLoaderRunning(false);
    RestoreConsoleState();
    if (error != ERROR_SUCCESS) {
        why = WhyNotStarted(name, error);
    }
    return status == 0 ? 0 : 1;
}
