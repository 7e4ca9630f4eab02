// Runs the loader through cmd.exe, the way the technician would type it at the prompt.
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "console.h"
#include "interrupt_win32.h"
#include "loader.h"

int LaunchLoader(const std::string& loader_command) {
    // The loader writes to the same console: what we printed must be there before its output.
    std::cout.flush();
    std::fflush(stdout);
    // Whatever console modes the loader leaves, the switch-off prompt reads as before it.
    SaveConsoleState();
    // cmd.exe hands back the loader's exit code; -1 means cmd.exe itself could not be started.
    SetLoaderRunning(true);
    const int status = std::system(loader_command.c_str());
    SetLoaderRunning(false);
    RestoreConsoleState();
    return status == 0 ? 0 : 1;
}
