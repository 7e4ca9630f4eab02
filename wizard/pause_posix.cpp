// Sleeping until a moment, on POSIX systems: their sleeps already wake within well under a
// millisecond.
#include <thread>

#include "pause.h"

void BeginPreciseSleeps() {}

void EndPreciseSleeps() {}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
    // A signal may end the sleep early.
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
}
