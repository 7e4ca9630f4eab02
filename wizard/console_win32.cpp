// The console helpers that depend on the platform, on Windows.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <string>

#include "console.h"
#include "console_win32.h"

namespace {

const char kPressEnter[] = "Press Enter to close this window.";

// The window's title before the first ShowTitle, for RestoreTitle: read and written with the W
// functions, which keep the characters that the code page lacks ("Administrator: Zoë's folder"
// in Cyrillic code page 866). Put back by whichever thread comes first, the main thread or the
// console control handler's.
std::atomic<bool> title_saved{false};
wchar_t saved_title[1024];

// The console's modes before the loader or the download, for RestoreConsoleState: standard
// input's, then standard output's.
const DWORD kConsoleHandles[2] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE};
std::atomic<bool> mode_saved[2] = {{false}, {false}};
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
        if (mode_saved[i].exchange(false)) {
            SetConsoleMode(GetStdHandle(kConsoleHandles[i]), saved_mode[i]);
        }
    }
}

// microsoft/terminal #34 and #2678: a selection blocks the program's console writes. Learn,
// SetConsoleMode: QuickEdit is turned off by ENABLE_EXTENDED_FLAGS without
// ENABLE_QUICK_EDIT_MODE.
void TurnOffQuickEdit() {
    SaveConsoleState();
    if (mode_saved[0]) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE),
                       (saved_mode[0] | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE);
    }
}

void ShowTitle(const std::string& title) {
    if (!title_saved) {
        // A title that cannot be read (no console window) is not put back; nor is one set then.
        saved_title[0] = L'\0';
        SetLastError(0);
        if (GetConsoleTitleW(saved_title, sizeof(saved_title) / sizeof(saved_title[0])) == 0 &&
            GetLastError() != 0) {
            return;
        }
        title_saved = true;
    }
    // The progress title is ASCII.
    SetConsoleTitleW(std::wstring(title.begin(), title.end()).c_str());
}

void RestoreTitle() {
    if (title_saved.exchange(false)) {
        SetConsoleTitleW(saved_title);
    }
}

void KeepWindowUntilRead(std::istream& in, std::ostream& out) {
    if (!WindowOfItsOwn()) {
        return;
    }
    Say(out, std::string("\n") + kPressEnter);
    // An Enter typed during the download is not the one asked for: it would close the window
    // before the result is read.
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    // The last answer left the rest of its line queued, its line feed at least: that is not
    // the Enter asked for.
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}
