// Sleeping until a moment, on Windows. A plain Sleep wakes on the system timer's tick, every
// 15.6 ms unless some program asked for finer: a quarter-second pause would end up to 16 ms
// late, on every line of a download.
#include <windows.h>

#include "pause.h"

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, Windows 10 1803 on; older headers do not name it.
constexpr DWORD kHighResolutionTimer = 0x00000002;

// Between BeginPreciseSleeps and EndPreciseSleeps: the high-resolution timer, or nullptr when
// the system has none and the timer resolution was raised instead.
HANDLE timer = nullptr;
bool period_raised = false;

// winmm.dll is no Known DLL: imported statically, a copy beside the exe (in the Downloads
// folder, say) would be loaded in its place. So it is loaded from System32 alone when needed.
// Windows 7 without KB2533623 refuses the flag; the pauses then keep the system's tick.
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
HMODULE winmm = nullptr;
using TimePeriodFunction = UINT(WINAPI*)(UINT);

TimePeriodFunction WinmmFunction(const char* name) {
    // Through void (*)(): GetProcAddress's type says nothing of the function's.
    return reinterpret_cast<TimePeriodFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(winmm, name)));
}

}  // namespace

void BeginPreciseSleeps() {
    if (timer != nullptr || period_raised) {
        return;
    }
    timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        winmm = LoadLibraryExW(L"winmm.dll", nullptr, kSearchSystem32);
        const TimePeriodFunction begin = winmm ? WinmmFunction("timeBeginPeriod") : nullptr;
        period_raised = begin != nullptr && begin(1) == TIMERR_NOERROR;
        if (!period_raised && winmm != nullptr) {
            FreeLibrary(winmm);
            winmm = nullptr;
        }
    }
}

void EndPreciseSleeps() {
    if (timer != nullptr) {
        CloseHandle(timer);
        timer = nullptr;
    }
    if (period_raised) {
        const TimePeriodFunction end = WinmmFunction("timeEndPeriod");
        if (end != nullptr) {
            end(1);
        }
        FreeLibrary(winmm);
        winmm = nullptr;
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
