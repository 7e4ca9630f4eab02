#include "sim_port_use.h"

#include <algorithm>

#include "sim_lines.h"

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
    return Format("T410 STATUS %04d READY 12.6V\r\n", ++chatter->words % 10000);
}

std::string CountPortUse(PortCounts* counts, bool opened) {
    if (opened) {
        ++counts->opens;
        counts->most_users = std::max(counts->most_users, ++counts->users);
        return Format("port opened (open %d)", counts->opens) +
               (counts->users > 1
                    ? Format(" while %d other user(s) still hold it", counts->users - 1)
                    : "");
    }
    ++counts->closes;
    if (counts->users > 0) {
        --counts->users;
        return Format("port closed (close %d)", counts->closes);
    }
    // Only a merged report (or an open from before the analyzer started) leaves a close without
    // a user: say so rather than let the counts pass as exact.
    return Format(
        "port closed (close %d) with no open seen: opens that came together were counted once, so "
        "the counts of opens and users are low",
        counts->closes);
}
