// Sleeping until a moment, on Windows. A plain Sleep wakes on the system timer's tick, every
// 15.6 ms unless some program asked for finer: a quarter-second pause would end up to 16 ms
// late, on every line of a download.
#include <windows.h>

#include <timeapi.h>

#include "pause.h"

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, Windows 10 1803 on; older headers do not name it.
constexpr DWORD kHighResolutionTimer = 0x00000002;

// Between BeginPreciseSleeps and EndPreciseSleeps: the high-resolution timer, or nullptr when
// the system has none and the timer resolution was raised instead.
HANDLE timer = nullptr;
bool period_raised = false;

}  // namespace

void BeginPreciseSleeps() {
    if (timer != nullptr || period_raised) {
        return;
    }
    timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        period_raised = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
}

void EndPreciseSleeps() {
    if (timer != nullptr) {
        CloseHandle(timer);
        timer = nullptr;
    }
    if (period_raised) {
        timeEndPeriod(1);
        period_raised = false;
    }
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
    using std::chrono::steady_clock;
    for (;;) {
        const steady_clock::duration left = deadline - steady_clock::now();
        if (left <= steady_clock::duration::zero()) {
            return;
        }
        // Timers count in 100 ns units; a negative due time is relative to now.
        const long long ticks =
            std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10000000>>>(
                left)
                .count();
        LARGE_INTEGER due;
        due.QuadPart = -(ticks > 0 ? ticks : 1);
        if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
            WaitForSingleObject(timer, INFINITE);
        } else {
            // Whole milliseconds, rounded up: with the resolution raised this wakes within
            // about a millisecond of the deadline.
            const long long ms = (ticks + 9999) / 10000;
            Sleep(static_cast<DWORD>(ms));
        }
    }
}
