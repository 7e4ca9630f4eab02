// The virtual analyzer's end of the line: a pseudo-terminal whose slave the program opens as
// COM<n>, published the way Wine publishes serial ports (a link dosdevices/com<n> in a prefix).
#pragma once

#include <string>

// Opens a pseudo-terminal and sets its slave to 9600 baud, 8 data bits, no parity, one stop
// bit, raw (no echo, no line editing, no translation). Returns 0, or -1 with `error` set.
int OpenAnalyzerLine(int* master_fd, int* slave_fd, std::string* slave_name, std::string* error);

// `prefix`/dosdevices/com<port_number>.
std::string ComLinkPath(const std::string& prefix, int port_number);

// Links `prefix`/dosdevices/com<n> to `slave_name`, creating the folders as needed. A link
// left behind by an earlier run is replaced; anything else in its place is an error. Returns
// 0, or -1 with `error` set.
int PublishComLink(const std::string& prefix, int port_number, const std::string& slave_name,
                   std::string* error);

// Removes the link if it still points to `slave_name` (another analyzer may have taken the
// name since).
void WithdrawComLink(const std::string& link_path, const std::string& slave_name);

// Milliseconds on the monotonic clock.
double NowMs();

// A line's arrival time is when its reader wakes to read it, so on a busy machine a late
// wake-up makes one pause look longer and the next one shorter. The reader mostly sleeps, so
// it asks to be woken first: real-time if allowed, else a better nice value. Returns what it
// got, in words.
const char* AskForPromptWakeups();

// How long this thread waited to run since the previous call (ms, from the kernel's run-queue
// accounting): right after a wait for an event, how late it woke to it. 0 where the kernel
// does not tell.
double TakeRunQueueWaitMs();
