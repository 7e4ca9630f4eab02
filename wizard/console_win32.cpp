// The console helpers that depend on the platform, on Windows.
#include <windows.h>

#include <istream>
#include <limits>
#include <ostream>

#include "console.h"

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
