// The loader on Windows, started directly with CreateProcess. Through cmd.exe it failed on PCs
// that are common enough: an AutoRun entry for cmd.exe that changes the folder first, a folder
// on a network share (cmd.exe will not run in a UNC folder and falls back to C:\Windows), and
// NoDefaultCurrentDirectoryInExePath, with which cmd.exe no longer looks in the current folder.
// The loader gets the same command line and the same console as before.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "console.h"
#include "interrupt_win32.h"
#include "loader.h"

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

// Starts `program` with `command_line` in this console, with this program's standard handles,
// and waits for it however long it takes (writing the firmware takes minutes). Returns its
// exit code; 1 when it could not be started or its exit code could not be had.
DWORD RunAndWait(const std::string& program, const std::string& command_line) {
    // CreateProcessA may write into the command line it is given.
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION loader = {};
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &loader)) {
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

int LaunchLoader(const std::string& loader_command) {
    const std::string program =
        FindLoaderProgram(loader_command.substr(0, loader_command.find(' ')));
    if (program.empty()) {
        return 1;
    }
    // The loader writes to the same console: what we printed must be there before its output.
    std::cout.flush();
    std::fflush(stdout);
    // Whatever console modes the loader leaves, the switch-off prompt reads as before it.
    SaveConsoleState();
    SetLoaderRunning(true);
    const DWORD status = RunAndWait(program, loader_command);
    SetLoaderRunning(false);
    RestoreConsoleState();
    return status == 0 ? 0 : 1;
}
