// Sleeping until a moment on the monotonic clock, as precisely as the platform allows: the
// download's pause after each line (after each piece of a long one). One implementation per
// platform.
#pragma once

#include <chrono>

// Makes the sleeps that follow precise to about a millisecond (Windows: a high-resolution
// timer, or else the system timer at 1 ms for the time being). Paired with EndPreciseSleeps.
void BeginPreciseSleeps();
void EndPreciseSleeps();

// Sleeps, never spins, until `deadline` has passed; returns at once when it has already.
void SleepUntil(std::chrono::steady_clock::time_point deadline);
