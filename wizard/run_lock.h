// One run owns its port: from the port check to the run's end no other run of this program may
// take the same COM number, even while the port itself stands closed (during the switch-on
// prompt and while the loader runs).
#pragma once

// Results of LockPortForRun.
enum RunLockResult {
    // No other run holds COM<port_number>: the lock is this run's until the process ends, or
    // none could be made (no folder or name to make it in), which is no reason to fail the run.
    RUN_LOCK_FREE = 0,
    // Another run of this program holds COM<port_number>.
    RUN_LOCK_HELD = 1,
};

// Takes the lock for COM<port_number>, which the process keeps until it ends; programs it
// starts (the loader) do not inherit it. POSIX systems: flock on k410prog-COM<n>.lock in
// $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp. Windows: the named mutex Global\k410prog-COM<n>,
// seen from every session, or Local\k410prog-COM<n> where the global namespace is closed to the
// process. One implementation per platform.
int LockPortForRun(int port_number);
