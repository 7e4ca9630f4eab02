// The pause after each piece of the download on Windows: the high-resolution timer, and the
// timer period at 1 ms where Windows has no such timer (made to look so through the import
// table). Prints the overshoot as NOTE lines; under Wine both look alike (see README.md).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "import_patch.h"
#include "pause.h"

namespace {

// Windows older than 10 (1803) has no high-resolution timer.
HANDLE WINAPI MissingCreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

TEST(Pause, SleepsUntilTheDeadlineAndWakesSoonAfter) {
    using Clock = std::chrono::steady_clock;
    struct Case {
        const char* what;
        void* create_timer;  // nullptr: the system's own
    };
    const Case cases[] = {
        {"high-resolution timer", nullptr},
        {"no such timer: the timer period at 1 ms",
         reinterpret_cast<void*>(&MissingCreateWaitableTimerExW)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int kPauses = 20;
        const auto kPause = std::chrono::milliseconds(50);
        double total_ms = 0;
        double worst_ms = 0;
        {
            ImportPatch timer(&__imp_CreateWaitableTimerExW, c.create_timer != nullptr
                                                                 ? c.create_timer
                                                                 : __imp_CreateWaitableTimerExW);
            BeginPreciseSleeps();
        }
        for (int i = 0; i < kPauses; ++i) {
            const Clock::time_point deadline = Clock::now() + kPause;
            SleepUntil(deadline);
            const double over_ms =
                std::chrono::duration<double, std::milli>(Clock::now() - deadline).count();
            EXPECT_GE(over_ms, 0.0) << "woke before the deadline";
            total_ms += over_ms;
            worst_ms = over_ms > worst_ms ? over_ms : worst_ms;
        }
        EndPreciseSleeps();
        std::cout << "[   NOTE   ] " << c.what << ": overshoot over " << kPauses
                  << " pauses of 50 ms: mean " << total_ms / kPauses << " ms, worst " << worst_ms
                  << " ms\n";
        EXPECT_LT(worst_ms, 50.0);
    }
    // A deadline already passed returns at once.
    const Clock::time_point start = Clock::now();
    SleepUntil(start - std::chrono::milliseconds(5));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
