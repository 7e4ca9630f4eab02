// What the virtual analyzer does on its port besides taking lines: the status lines a real
// instrument sends unasked (chatter), and the counts of how the port is used.
#pragma once

#include <string>

// The chatter: one word every period, but never where the next line is expected, so that chatter
// landing right after the purge before a write is not mistaken for stale input.
struct ChatterSchedule {
    double period_ms = 0;  // 0: no chatter
    double next_ms = -1;   // -1: none due
    int lines_seen = 0;    // lines received when a word was last held back
    int words = 0;
    long long bytes = 0;        // sent
    long long since_purge = 0;  // sent since the program last purged its input
};

// True when a word is due at `now_ms`, given the latest line's end (-1: none) and the lines so
// far; a word due in the window is held back.
bool ChatterDue(ChatterSchedule* chatter, double now_ms, double last_line_end_ms, int lines);

// The next word, counted.
std::string NextChatterWord(ChatterSchedule* chatter);

// Opens, closes and users at once, as the port's watch reports them, and the program's purges.
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
