#include "sim_clock.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

double NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// How long (ms) this thread waited to run since the previous call: right after a wait for an
// event, how late it woke to it. 0 where the kernel does not tell.
static double TakeRunQueueWaitMs() {
    // Fields: time on the CPU, time waiting for it, time slices; nanoseconds.
    static int stats = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    static long long waited_before = -1;
    char text[128] = {};
    long long waited = 0;
    if (stats < 0 || pread(stats, text, sizeof text - 1, 0) <= 0 ||
        std::sscanf(text, "%*s %lld", &waited) != 1) {
        return 0;
    }
    double since = waited_before < 0 ? 0 : static_cast<double>(waited - waited_before) / 1e6;
    waited_before = waited;
    return since;
}

const char* AskForPromptWakeups() {
    const sched_param priority = {10};
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &priority) == 0) {
        return "real-time priority";
    }
    if (setpriority(PRIO_PROCESS, 0, -10) == 0) {
        return "raised priority";
    }
    return "normal priority: on a busy machine a pause may read a few ms off";
}

int WaitForEvents(pollfd* watched, nfds_t count, double wake_ms, double now_ms,
                  const sigset_t& during_wait, double* woke_late_ms) {
    timespec timeout{};
    timespec* timeout_at = nullptr;
    if (wake_ms >= 0) {
        double wait = wake_ms - now_ms;
        wait = wait < 0 ? 0 : wait + 0.05;
        timeout.tv_sec = static_cast<time_t>(wait / 1000);
        timeout.tv_nsec = static_cast<long>((wait - timeout.tv_sec * 1000.0) * 1e6);
        timeout_at = &timeout;
    }
    TakeRunQueueWaitMs();
    int ready = ppoll(watched, count, timeout_at, &during_wait);
    *woke_late_ms = TakeRunQueueWaitMs();
    return ready;
}
