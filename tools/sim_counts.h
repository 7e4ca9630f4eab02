// How the analyzer's port is used: opens, closes and users at once, counted from what the watch
// of the port reports, and the program's purges.
#pragma once

#include <string>

struct PortCounts {
    int users = 0;
    int opens = 0;
    int closes = 0;
    int most_users = 0;
    int purges = 0;        // of the program's input
    int stale_writes = 0;  // writes that found the analyzer's chatter still unread
};

// Counts an open (`opened`) or a close, and returns it in words for the log.
std::string CountPortUse(PortCounts* counts, bool opened);
