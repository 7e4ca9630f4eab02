// The run's lock on its COM number on Windows: a named mutex per COM number in the namespace of
// every session, so that a run in another user's session (fast user switching, a remote desktop)
// is seen too; no privilege is needed for a mutex there. Where the global namespace is refused
// to this process, the session's own. Its existence is the lock; nobody waits on it.
#include <windows.h>

#include <string>

#include "run_lock.h"

namespace {

// The mutex for the rest of the process (Windows closes it when the process ends); nullptr when
// none is held.
HANDLE lock_mutex = nullptr;

// The outcome of asking for the mutex in one namespace.
enum Asked {
    ASKED_TAKEN,    // the mutex is ours now
    ASKED_HELD,     // it exists: another run has it
    ASKED_REFUSED,  // this namespace is closed to us
    ASKED_FAILED,   // no mutex could be made for another reason
};

// Asks for the mutex `name` in `space` ("Global\\" or "Local\\").
Asked AskForMutex(const std::string& space, const std::string& name) {
    // No security attributes: the handle is not inheritable, so the loader cannot keep the lock.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, (space + name).c_str());
    const DWORD error = GetLastError();
    if (mutex != nullptr) {
        if (error == ERROR_ALREADY_EXISTS) {
            CloseHandle(mutex);
            return ASKED_HELD;
        }
        lock_mutex = mutex;
        return ASKED_TAKEN;
    }
    if (error != ERROR_ACCESS_DENIED) {
        return ASKED_FAILED;
    }
    // Access denied has two readings: a mutex of that name that another user's run made (its
    // default security lets only that user in), or a namespace closed to this process (a
    // sandbox). A name of this process's own tells them apart: it can be made unless the
    // namespace is closed.
    const std::string own = space + "k410prog-" + std::to_string(GetCurrentProcessId());
    HANDLE probe = CreateMutexA(nullptr, FALSE, own.c_str());
    if (probe == nullptr) {
        return ASKED_REFUSED;
    }
    CloseHandle(probe);
    return ASKED_HELD;
}

}  // namespace

int LockPortForRun(int port_number) {
    if (lock_mutex != nullptr) {
        CloseHandle(lock_mutex);
        lock_mutex = nullptr;
    }
    const std::string name = "k410prog-COM" + std::to_string(port_number);
    Asked asked = AskForMutex("Global\\", name);
    if (asked == ASKED_REFUSED || asked == ASKED_FAILED) {
        asked = AskForMutex("Local\\", name);
    }
    return asked == ASKED_HELD ? RUN_LOCK_HELD : RUN_LOCK_FREE;
}
