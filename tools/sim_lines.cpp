#include "sim_lines.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr double kMostDelayMs = 50;  // how long before its data a purge may announce a line

// The end on the wire of a line of `bytes` bytes begun at `start_ms`, handed over by `handed_ms`.
double OffTheWire(const LineSplitter& s, double start_ms, long long bytes, double handed_ms) {
    return std::max(handed_ms, start_ms + static_cast<double>(bytes) * s.byte_ms);
}

void EndLine(LineSplitter* s, const std::string& terminator, std::vector<ReceivedLine>* done) {
    ReceivedLine line;
    line.number = ++s->lines;
    line.text = s->pending;
    line.terminator = terminator;
    line.first_ms = s->pending_first_ms;
    line.last_ms = s->pending_last_ms;
    double start_ms = line.first_ms;
    bool sent = false;  // announced by a purge
    if (s->purge_ms > s->previous_end_ms && s->purge_ms <= line.first_ms &&
        line.first_ms - s->purge_ms <= kMostDelayMs) {
        sent = true;
        line.delay_ms = line.first_ms - s->purge_ms;
        start_ms = s->purge_ms;
        s->latest_handover_ms = std::max(s->latest_handover_ms, line.delay_ms);
    }
    const long long bytes = static_cast<long long>(line.text.size() + line.terminator.size());
    const double handed_ms = line.last_ms - line.delay_ms;
    line.end_ms = OffTheWire(*s, start_ms, bytes, handed_ms);
    if (s->previous_end_ms >= 0) {
        line.pause_ms = start_ms - s->previous_end_ms;
        line.from_purges = s->previous_sent && sent;
        bool below = line.pause_ms < s->min_pause_ms - s->tolerance_ms;
        line.evened_out =
            below && s->previous_pause_ms >= 0 &&
            s->previous_pause_ms + line.pause_ms >= 2 * s->min_pause_ms - s->tolerance_ms;
        line.short_pause = below && !line.evened_out;
        line.on_the_wire = line.short_pause &&
                           start_ms - s->previous_handed_ms >= s->min_pause_ms - s->tolerance_ms;
        s->short_pauses += line.short_pause ? 1 : 0;
        s->evened_out += line.evened_out ? 1 : 0;
        s->on_the_wire += line.on_the_wire ? 1 : 0;
        s->from_purges += line.from_purges ? 1 : 0;
        s->shortest_pause_ms = s->shortest_pause_ms < 0
                                   ? line.pause_ms
                                   : std::min(s->shortest_pause_ms, line.pause_ms);
        s->longest_pause_ms = std::max(s->longest_pause_ms, line.pause_ms);
    }
    s->previous_pause_ms = line.pause_ms;
    s->previous_end_ms = line.end_ms;
    s->previous_start_ms = start_ms;
    s->previous_handed_ms = handed_ms;
    s->previous_bytes = bytes;
    s->last_delay_ms = line.delay_ms;
    s->previous_sent = sent;
    s->pending.clear();
    s->pending_open = false;
    done->push_back(line);
}

void TakeByte(LineSplitter* s, char byte, double now_ms, std::vector<ReceivedLine>* done) {
    ++s->bytes;
    if (byte == '\n' && s->after_cr) {
        // The line feed of a CRLF pair: it belongs to the line just ended, and keeps it on the
        // wire a byte longer.
        s->after_cr = false;
        s->previous_handed_ms = now_ms - s->last_delay_ms;
        s->previous_end_ms =
            OffTheWire(*s, s->previous_start_ms, ++s->previous_bytes, s->previous_handed_ms);
        if (!done->empty() && done->back().number == s->lines) {
            done->back().terminator = "\r\n";
            done->back().last_ms = now_ms;
            done->back().end_ms = s->previous_end_ms;
        }
        return;
    }
    s->after_cr = false;
    if (!s->pending_open) {
        s->pending_open = true;
        s->pending_first_ms = now_ms;
    }
    s->pending_last_ms = now_ms;
    if (byte == '\r' || byte == '\n') {
        EndLine(s, std::string(1, byte), done);
        s->after_cr = byte == '\r';
        s->after_cr_ms = now_ms;
        return;
    }
    s->pending.push_back(byte);
}

}  // namespace

void FeedBytes(LineSplitter* s, const char* data, int count, double now_ms,
               std::vector<ReceivedLine>* done) {
    // Bytes after a quiet gap start afresh, even a line feed after a carriage return: the
    // analyzer sees a new piece.
    EndQuietLine(s, now_ms, done);
    if (s->after_cr && now_ms - s->after_cr_ms >= s->gap_ms) {
        s->after_cr = false;
    }
    for (int i = 0; i < count; ++i) {
        TakeByte(s, data[i], now_ms, done);
    }
}

void NotePurge(LineSplitter* s, double now_ms) {
    s->purge_ms = now_ms;
}

double EndQuietLine(LineSplitter* s, double now_ms, std::vector<ReceivedLine>* done) {
    if (!s->pending_open) {
        return -1;
    }
    double due = s->pending_last_ms + s->gap_ms;
    if (now_ms >= due) {
        EndLine(s, "", done);
        return -1;
    }
    return due;
}

void EndPendingLine(LineSplitter* s, std::vector<ReceivedLine>* done) {
    EndQuietLine(s, HUGE_VAL, done);
}

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string SummaryText(const LineSplitter& s) {
    const std::string pauses = s.shortest_pause_ms < 0
                                   ? "shortest pause -, longest pause -"
                                   : Format("shortest pause %.1f ms, longest pause %.1f ms",
                                            s.shortest_pause_ms, s.longest_pause_ms);
    std::string summary = Format(
        "%d lines, %lld bytes, pauses from each line's end on the wire (%.2f ms a byte): %s, %d "
        "pauses under %.0f ms",
        s.lines, s.bytes, s.byte_ms, pauses.c_str(), s.short_pauses, s.min_pause_ms);
    // Says what the pauses were judged from, so a flag is read as the program's fault only
    // where it can be.
    int pause_count = s.lines > 1 ? s.lines - 1 : 0;
    if (pause_count > 0 && s.from_purges == pause_count) {
        summary += Format(
            ", judged to within %.1f ms from the program's purge before each line, which reaches "
            "the analyzer at once (its data came up to %.1f ms after)",
            s.tolerance_ms, s.latest_handover_ms);
    } else if (s.from_purges > 0) {
        summary += Format(
            ", judged to within %.1f ms, %d of %d from the program's purges, the rest from "
            "arrivals",
            s.tolerance_ms, s.from_purges, pause_count);
    } else {
        summary += Format(" (measured to within %.1f ms)", s.tolerance_ms);
    }
    if (s.evened_out > 0) {
        summary += Format(", %d short ones evened out by the pause before", s.evened_out);
    }
    // A pause that is short only when counted from the wire is the mark of a program that
    // trusted its driver's word that a line was sent (see sim_lines.h).
    if (s.on_the_wire > 0) {
        summary += Format(", %d short ones begun while the line before was still on the wire",
                          s.on_the_wire);
    }
    return summary;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r' || c == '\n' || c == '\t') {
            out += Format("\\%c", c == '\r' ? 'r' : c == '\n' ? 'n' : 't');
        } else if (c < 0x20 || c >= 0x7f) {
            out += Format("\\x%02X", c);
        } else {
            out += Format(c == '\\' || c == '"' ? "\\%c" : "%c", c);
        }
    }
    return out;
}
