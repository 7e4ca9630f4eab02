// The virtual analyzer's clock, and how late its reader wakes to what arrives.
#pragma once

#include <poll.h>
#include <signal.h>

// Milliseconds on the monotonic clock.
double NowMs();

// A late wake-up makes one pause look longer and the next one shorter, so the reader, which
// mostly sleeps, asks to be woken first: real-time if allowed, else a better nice value.
// Returns what it got, in words.
const char* AskForPromptWakeups();

// ppoll for `watched` until `wake_ms` (-1: no end; `now_ms` is now), letting in the signals
// `during_wait` lets in; sets how late it woke to what came. Returns what ppoll returned.
int WaitForEvents(pollfd* watched, nfds_t count, double wake_ms, double now_ms,
                  const sigset_t& during_wait, double* woke_late_ms);
