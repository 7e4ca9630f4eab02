// The console helpers that depend on the platform, on Windows.
#include <windows.h>

#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <string>

#include "console.h"
#include "console_win32.h"

namespace {

const char kPressEnter[] = "Press Enter to close this window.";

// The window's title before the first ShowTitle, for RestoreTitle.
bool title_saved = false;
char saved_title[MAX_PATH];

// The console's modes before the loader, for RestoreConsoleState: standard input's, then
// standard output's.
const DWORD kConsoleHandles[2] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE};
bool mode_saved[2] = {false, false};
DWORD saved_mode[2] = {0, 0};

// Started from Explorer, this program is the only one on its console, and Windows closes the
// window as soon as it ends. From cmd.exe or PowerShell the shell shares the console (and keeps
// it); without a console at all the list cannot be had.
bool WindowOfItsOwn() {
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace

void WriteToConsole(const char* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(out, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    }
}

void KeepWindowAfterInterruption() {
    if (!WindowOfItsOwn()) {
        return;
    }
    WriteToConsole("\r\n");
    WriteToConsole(kPressEnter);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    // Whatever was typed before the interruption is not the Enter asked for.
    FlushConsoleInputBuffer(in);
    char typed[256];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(in, typed, sizeof(typed), &count, nullptr) || count == 0 ||
            std::memchr(typed, '\r', count) != nullptr ||
            std::memchr(typed, '\n', count) != nullptr) {
            return;
        }
    }
}

bool OutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void SaveConsoleState() {
    for (int i = 0; i < 2; ++i) {
        mode_saved[i] = GetConsoleMode(GetStdHandle(kConsoleHandles[i]), &saved_mode[i]) != 0;
    }
}

void RestoreConsoleState() {
    for (int i = 0; i < 2; ++i) {
        if (mode_saved[i]) {
            SetConsoleMode(GetStdHandle(kConsoleHandles[i]), saved_mode[i]);
            mode_saved[i] = false;
        }
    }
}

void ShowTitle(const std::string& title) {
    if (!title_saved) {
        // A title that cannot be read (no console window) is not put back; nor is one set then.
        saved_title[0] = '\0';
        SetLastError(0);
        if (GetConsoleTitleA(saved_title, sizeof(saved_title)) == 0 && GetLastError() != 0) {
            return;
        }
        title_saved = true;
    }
    SetConsoleTitleA(title.c_str());
}

void RestoreTitle() {
    if (!title_saved) {
        return;
    }
    title_saved = false;
    SetConsoleTitleA(saved_title);
}

void KeepWindowUntilRead(std::istream& in, std::ostream& out) {
    if (!WindowOfItsOwn()) {
        return;
    }
    Say(out, std::string("\n") + kPressEnter);
    // The last answer left the rest of its line queued, its line feed at least: that is not
    // the Enter asked for.
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}
