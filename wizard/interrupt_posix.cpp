// Interruptions on POSIX systems: signals.
#include <signal.h>
#include <unistd.h>

#include "console.h"
#include "interrupt.h"
#include "port.h"

namespace {

// Ctrl-C, a kill, the terminal going away, Ctrl-\.
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Runs in the signal handler: async-signal-safe calls only, and it never returns.
void OnInterruption(int signal_number) {
    AbandonPort();
    RestoreTitle();
    static const char kMessage[] = "\n Interrupted !\n";
    ssize_t ignored = write(STDOUT_FILENO, kMessage, sizeof kMessage - 1);
    (void)ignored;
    // Ends the way the signal itself would have, so that a shell sees 128 + n and a parent
    // WIFSIGNALED: the default action, raised again and let through once this handler's mask
    // no longer holds it back.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    raise(signal_number);
    sigset_t only_this;
    sigemptyset(&only_this);
    sigaddset(&only_this, signal_number);
    sigprocmask(SIG_UNBLOCK, &only_this, nullptr);
    _exit(128 + signal_number);
}

}  // namespace

void CatchInterruptions() {
    // A console that can no longer be written (a pager that quit, a closed terminal window)
    // must not stop a download half-way: writes to it fail instead, and the run says so in
    // its exit status.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    struct sigaction catching = {};
    catching.sa_handler = OnInterruption;
    sigemptyset(&catching.sa_mask);
    for (int signal_number : kInterruptions) {
        sigaddset(&catching.sa_mask, signal_number);
    }
    for (int signal_number : kInterruptions) {
        // A signal ignored from the start stays ignored: whoever started the program (nohup,
        // a shell's background job) chose that.
        struct sigaction found;
        if (sigaction(signal_number, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal_number, &catching, nullptr);
    }
}

// A signal is handled on the thread it interrupts, and the handler never returns: a read that a
// signal ended is never seen as the end of input, and no interruption is ever under way where
// the run goes on.
void WaitForInterruptionAtEndOfInput() {}

void WaitForInterruptionUnderWay() {}
