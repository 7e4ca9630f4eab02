// The console helpers that depend on the platform, on Windows.
#include <windows.h>

#include <istream>
#include <limits>
#include <ostream>
#include <string>

#include "console.h"

namespace {

// The window's title before the first ShowTitle, for RestoreTitle.
bool title_saved = false;
char saved_title[MAX_PATH];

}  // namespace

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
    // Started from Explorer, this program is the only one on its console, and Windows closes
    // the window as soon as it ends. From cmd.exe or PowerShell the shell shares the console
    // (and keeps it); without a console at all the list cannot be had.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) != 1) {
        return;
    }
    Say(out, "\nPress Enter to close this window.");
    // The last answer left the rest of its line queued, its line feed at least: that is not
    // the Enter asked for.
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}
