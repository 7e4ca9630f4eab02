// The run's lock on its COM number on Windows: a named mutex per COM number in the session's
// namespace. Its existence is the lock; nobody waits on it.
#include <windows.h>

#include <string>

#include "run_lock.h"

namespace {

// The mutex for the rest of the process (Windows closes it when the process ends); nullptr when
// none is held.
HANDLE lock_mutex = nullptr;

}  // namespace

int LockPortForRun(int port_number) {
    if (lock_mutex != nullptr) {
        CloseHandle(lock_mutex);
        lock_mutex = nullptr;
    }
    const std::string name = "Local\\k410prog-COM" + std::to_string(port_number);
    // No security attributes: the handle is not inheritable, so the loader cannot keep the lock.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) {
        // A mutex of that name that this user may not open is another run's all the same.
        return error == ERROR_ACCESS_DENIED ? RUN_LOCK_HELD : RUN_LOCK_TAKEN;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return RUN_LOCK_HELD;
    }
    lock_mutex = mutex;
    return RUN_LOCK_TAKEN;
}
