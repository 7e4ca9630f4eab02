#include "sim_counts.h"

#include <cstdio>

std::string CountPortUse(PortCounts* counts, bool opened) {
    char text[160];
    if (opened) {
        ++counts->opens;
        ++counts->users;
        counts->most_users =
            counts->users > counts->most_users ? counts->users : counts->most_users;
        if (counts->users > 1) {
            std::snprintf(text, sizeof text,
                          "port opened (open %d) while %d other user(s) still hold it",
                          counts->opens, counts->users - 1);
        } else {
            std::snprintf(text, sizeof text, "port opened (open %d)", counts->opens);
        }
        return text;
    }
    ++counts->closes;
    if (counts->users == 0) {
        // Only a merged report (or an open from before the analyzer started) leaves a close
        // without a user: say so rather than let the counts pass as exact.
        std::snprintf(text, sizeof text,
                      "port closed (close %d) with no open seen: opens that came together were "
                      "counted once, so the counts of opens and users are low",
                      counts->closes);
    } else {
        --counts->users;
        std::snprintf(text, sizeof text, "port closed (close %d)", counts->closes);
    }
    return text;
}
