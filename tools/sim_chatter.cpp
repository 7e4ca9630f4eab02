#include "sim_chatter.h"

#include <cstdio>

void StartChatter(ChatterSchedule* chatter, double period_ms, double now_ms) {
    chatter->period_ms = period_ms;
    chatter->next_ms = period_ms > 0 ? now_ms + period_ms : -1;
}

bool ChatterDue(ChatterSchedule* chatter, double now_ms, double last_line_end_ms, int lines) {
    bool due = false;
    if (chatter->next_ms >= 0 && now_ms >= chatter->next_ms) {
        const double since_line = now_ms - last_line_end_ms;
        due = last_line_end_ms < 0 || since_line < 200 || since_line > 1000;
        if (due) {
            chatter->next_ms = now_ms + chatter->period_ms;
        } else {
            // Held back until the next line has come (or the line has gone quiet).
            chatter->next_ms = last_line_end_ms + 1000.5;
            chatter->lines_seen = lines;
        }
    }
    if (chatter->next_ms > now_ms && lines > chatter->lines_seen && chatter->lines_seen > 0) {
        // A held-back word goes out in the middle of the pause after the next line.
        chatter->next_ms = last_line_end_ms + 100;
        chatter->lines_seen = 0;
    }
    return due;
}

std::string NextChatterWord(ChatterSchedule* chatter) {
    char text[64];
    std::snprintf(text, sizeof text, "T410 STATUS %04d READY 12.6V\r\n", ++chatter->words % 10000);
    return text;
}
