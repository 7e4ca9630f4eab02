// The run's lock on its COM number on POSIX systems: flock on a file per COM number.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "run_lock.h"

namespace {

// The lock file's descriptor for the rest of the process; -1 when none is held.
int lock_fd = -1;

// The user's runtime folder, else the temporary one.
std::string LockFolder() {
    for (const char* variable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* folder = getenv(variable);
        if (folder != nullptr && folder[0] != '\0') {
            return folder;
        }
    }
    return "/tmp";
}

}  // namespace

int LockPortForRun(int port_number) {
    if (lock_fd >= 0) {
        close(lock_fd);
        lock_fd = -1;
    }
    const std::string path = LockFolder() + "/k410prog-COM" + std::to_string(port_number) + ".lock";
    // Read-only is enough for flock, and opens a file that another user's run made. No link is
    // followed: in a shared /tmp it could lead anywhere. O_CLOEXEC keeps the loader from
    // inheriting the lock, which would hold it after this run ended.
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return RUN_LOCK_FREE;
    }
    int locked;
    while ((locked = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return held ? RUN_LOCK_HELD : RUN_LOCK_FREE;
    }
    lock_fd = fd;
    return RUN_LOCK_FREE;
}
