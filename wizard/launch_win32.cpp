// Runs the loader through cmd.exe, the way the technician would type it at the prompt.
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "interrupt_win32.h"
#include "loader.h"

int LaunchLoader(const std::string& loader_command) {
    // The loader writes to the same console: what we printed must be there before its output.
    std::cout.flush();
    std::fflush(stdout);
    // cmd.exe hands back the loader's exit code; -1 means cmd.exe itself could not be started.
    SetLoaderRunning(true);
    const int status = std::system(loader_command.c_str());
    SetLoaderRunning(false);
    return status == 0 ? 0 : 1;
}
