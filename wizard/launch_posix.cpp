// The loader on POSIX systems. No shell runs it: a shell would take the backslashes of the
// device path (\\.\COM3) as escapes.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "console.h"
#include "loader.h"

extern char** environ;

namespace {

bool IsExecutableFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

// Why posix_spawn did not start the loader `name`, in the technician's terms. Trying again
// helps with none of these.
std::string WhyNotStarted(const std::string& name, int error) {
    std::string told;
    switch (error) {
        case ENOEXEC:
            told = name +
                   " cannot run on this system: it is no program for it (a Windows or DOS "
                   "program, or one for another architecture)";
            break;
        case EACCES:
        case EPERM:
            told = name + " was not started: this user may not run it from this folder";
            break;
        case ENOENT:
            // Also an interpreter that a script's first line names and that is not there.
            told = name + " was not found";
            break;
        default:
            told = name + " could not be started";
            break;
    }
    return ReasonLine(told, std::strerror(error));
}

// Starts `program` and waits for it. Returns its wait status, or -1 when it could not be
// started (`*error` is then why) or waited for. `defaults`: the signals the loader starts with
// at their default action.
int SpawnAndWait(const std::string& program, char** argv, const sigset_t& defaults, int* error) {
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        return -1;
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    int spawned = posix_spawn(&child, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        *error = spawned;
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

}  // namespace

// The current folder first, then the folders on PATH, as the README tells the technician; an
// empty folder on PATH is the current one, as for a shell.
std::string FindLoaderProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    if (IsExecutableFile("./" + name)) {
        return "./" + name;
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
    }
    return "";
}

int LaunchLoader(const std::vector<std::string>& loader_words, std::string* not_started) {
    std::string ignored;
    std::string& why = not_started != nullptr ? *not_started : ignored;
    why.clear();
    std::vector<std::string> words = loader_words;  // posix_spawn wants them writable
    if (words.empty()) {
        return 1;
    }
    std::string program = FindLoaderProgram(words[0]);
    if (program.empty()) {
        why = ReasonLine(words[0] + " is not in this folder or on PATH", "");
        return 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);

    // The loader shares this console; what the wizard printed must be out before it speaks.
    std::fflush(stdout);

    // As system() does: while the loader runs, Ctrl-C and Ctrl-\ at the console are its to act
    // on (the terminal sends them to both of us). This program waits on, and a loader that they
    // ended is a failed launch. The loader gets them as this program found them, and SIGPIPE,
    // which this program ignores, at its default.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction found_interrupt;
    struct sigaction found_quit;
    sigaction(SIGINT, &ignore, &found_interrupt);
    sigaction(SIGQUIT, &ignore, &found_quit);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    if (found_interrupt.sa_handler != SIG_IGN) {
        sigaddset(&defaults, SIGINT);
    }
    if (found_quit.sa_handler != SIG_IGN) {
        sigaddset(&defaults, SIGQUIT);
    }
    // Whatever terminal settings the loader leaves, the switch-off prompt reads as before it.
    SaveConsoleState();
    int error = 0;
    int status = SpawnAndWait(program, argv.data(), defaults, &error);
    RestoreConsoleState();
    if (error != 0) {
        why = WhyNotStarted(words[0], error);
    }
    sigaction(SIGINT, &found_interrupt, nullptr);
    sigaction(SIGQUIT, &found_quit, nullptr);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
