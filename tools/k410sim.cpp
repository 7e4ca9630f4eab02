// k410sim: a virtual TALVEN 410 analyzer for rehearsing and debugging k410prog without one.
//
// It publishes a pseudo-terminal as COM<n> the way Wine does (a link <prefix>/dosdevices/com<n>)
// and logs every line that arrives with the pause since the line before was off the wire at
// 9600 baud, flagging pauses shorter than the analyzer needs, and the port's opens, closes and
// purges, so the log shows whether the loader found the port free and whether stale input was
// thrown away before each write.
//
//   k410sim --prefix "$WINEPREFIX" --port 3      then run k410prog with that WINEPREFIX
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_clock.h"
#include "sim_lines.h"
#include "sim_options.h"
#include "sim_port_use.h"
#include "watched_line.h"

namespace {

volatile sig_atomic_t stop_signal = 0;  // SIGINT or SIGTERM once one has come

// Where the analyzer tells what it saw, timed from its start.
struct SimLog {
    FILE* text = stdout;
    FILE* capture = nullptr;  // every received byte, as received
    double start_ms = 0;
};

struct AnalyzerLine {
    WatchedLine watched;
    LineSplitter lines;
    double last_line_end_ms = -1;
    std::vector<OpenWatch::Event> port_events;  // opens and closes not yet taken
    double master_rests_until = 0;              // no one held the slave: look again then
    double woke_late_ms = 0;  // to what it reads: possibly ms without real-time priority
};

SimLog out;
AnalyzerLine line;
PortCounts counts;
ChatterSchedule chatter;

double EventMs() {
    return NowMs() - line.woke_late_ms;
}

__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
    std::fprintf(out.text, "%10.3f s  ", (NowMs() - out.start_ms) / 1000.0);
    va_list args;
    va_start(args, format);
    std::vfprintf(out.text, format, args);
    va_end(args);
    std::fputc('\n', out.text);
    std::fflush(out.text);
}

void LogLine(const ReceivedLine& got) {
    std::string terminator = got.terminator.empty() ? "" : " " + Printable(got.terminator);
    const std::string pause = got.pause_ms < 0 ? "      first" : Format("+%8.1f ms", got.pause_ms);
    const std::string late =
        got.delay_ms < 1 ? "" : Format("  (handed over %.1f ms after the purge)", got.delay_ms);
    std::fprintf(out.text, "%10.3f s  line %3d %s %4zu bytes  \"%s\"%s%s%s\n",
                 (got.first_ms - out.start_ms) / 1000.0, got.number, pause.c_str(),
                 got.text.size() + got.terminator.size(), Printable(got.text).c_str(),
                 terminator.c_str(), late.c_str(),
                 got.on_the_wire   ? "  << SHORT PAUSE, begun with the line before on the wire"
                 : got.short_pause ? "  << SHORT PAUSE"
                 : got.evened_out  ? "  (short, evened out by the long pause before: read late)"
                                   : "");
    std::fflush(out.text);
}

void LogLinesEnded(const std::vector<ReceivedLine>& done) {
    for (const ReceivedLine& received : done) {
        LogLine(received);
        line.last_line_end_ms = received.end_ms;
    }
}

void TakeData(const std::string& data) {
    double now = EventMs();
    if (out.capture != nullptr) {
        std::fwrite(data.data(), 1, data.size(), out.capture);
        std::fflush(out.capture);
    }
    int lines_before = line.lines.lines;
    std::vector<ReceivedLine> done;
    FeedBytes(&line.lines, data.data(), static_cast<int>(data.size()), now, &done);
    LogLinesEnded(done);
    // The program purges its input right before each write, so nothing of what the analyzer
    // said earlier may still be waiting when a line arrives.
    int waiting = WaitingInput(line.watched);
    if (chatter.bytes > 0 && waiting > 0 && line.lines.lines > lines_before) {
        ++counts.stale_writes;
        Log("stale input NOT discarded: %d bytes were still waiting in the port when it wrote",
            waiting);
    }
}

// The program's purges: logged when the analyzer chatters, where they show what became of its
// words; otherwise they would only repeat, line after line, that it purges before it writes.
void TakePurges(const LinePacket& packet) {
    if (packet.input_purged) {
        ++counts.purges;
        NotePurge(&line.lines, EventMs());
        if (chatter.since_purge > 0) {
            Log("receive side purged by the program: %lld bytes of stale chatter discarded",
                chatter.since_purge);
        } else if (chatter.period_ms > 0) {
            Log("receive side purged by the program");
        }
        chatter.since_purge = 0;
    }
    if (packet.output_purged && chatter.period_ms > 0) {
        Log("transmit side purged by the program");
    }
}

// Takes what the program did on its end. Returns false when the master can no longer be read
// (no one holds the slave), so the caller rests it instead of polling it in a loop.
bool TakeProgramPacket() {
    LinePacket packet;
    int read = ReadPacket(line.watched, &packet);
    if (read > 0 && !packet.data.empty()) {
        TakeData(packet.data);
    } else if (read > 0) {
        TakePurges(packet);
    }
    return read >= 0;
}

// Takes the queued opens and closes in order; with `opens_only`, stops at the first close
// (the data read next may have come before it). Returns true when the analyzer should stop.
bool TakePortEvents(bool opens_only, const SimOptions& options) {
    line.watched.watch.Take(&line.port_events);
    bool stop = false;
    size_t taken = 0;
    for (; taken < line.port_events.size(); ++taken) {
        const bool opened = line.port_events[taken].opened;
        if (!opened && opens_only) {
            break;
        }
        Log("%s", CountPortUse(&counts, opened).c_str());
        if (!opened && counts.users == 0) {
            if (EndExclusiveUse(line.watched)) {
                Log("port left in exclusive mode by its last user; released as a real port "
                    "would be");
            }
            stop = stop ||
                   (options.stop_after_closes > 0 && counts.closes >= options.stop_after_closes) ||
                   (options.stop_after_data && line.lines.bytes > 0);
        }
    }
    line.port_events.erase(line.port_events.begin(),
                           line.port_events.begin() + static_cast<long>(taken));
    return stop;
}

void SendChatter() {
    if (WaitingInput(line.watched) > 1024) {
        return;  // no one is reading; a real instrument's words would be lost the same way
    }
    const std::string word = NextChatterWord(&chatter);
    if (write(line.watched.master, word.data(), word.size()) == static_cast<ssize_t>(word.size())) {
        chatter.bytes += static_cast<long long>(word.size());
        chatter.since_purge += static_cast<long long>(word.size());
        Log("chatter sent to the program: \"%s\"", Printable(word).c_str());
    }
}

// Tells the technician where the analyzer is and how it judges what arrives.
void StartTheLog(const SimOptions& options) {
    line.lines = options.lines;
    std::fprintf(out.text, "k410sim: virtual TALVEN 410 analyzer on COM%d: %s -> %s\n",
                 options.port_number, line.watched.link_path.c_str(),
                 line.watched.slave_name.c_str());
    std::fprintf(out.text, "k410sim: run k410prog with WINEPREFIX=%s%s\n",
                 line.watched.prefix.c_str(),
                 line.watched.scratch_prefix ? " (scratch prefix, removed at exit)" : "");
    std::fprintf(out.text,
                 "k410sim: 9600 baud, 8N1, raw; lines end at CR, LF or %.0f ms of quiet; "
                 "pauses under %.0f ms from the line before off the wire (%.2f ms a byte from "
                 "its start; measured to within %.1f ms, from the program's purges where it "
                 "purges) are flagged; timing at %s\n",
                 line.lines.gap_ms, line.lines.min_pause_ms, line.lines.byte_ms,
                 line.lines.tolerance_ms, AskForPromptWakeups());
    std::fflush(out.text);
}

// Returns the mask to wait with: SIGINT and SIGTERM arrive only while the analyzer waits.
sigset_t BlockStopSignalsButInWaits() {
    sigset_t blocked, during_wait;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    sigdelset(&during_wait, SIGINT);
    sigdelset(&during_wait, SIGTERM);
    return during_wait;
}

// Plays the analyzer until a stop signal or the close the options ask for; returns why.
const char* ServeTheLine(const SimOptions& options, const sigset_t& during_wait) {
    chatter.period_ms = options.chatter_ms;
    chatter.next_ms = options.chatter_ms > 0 ? NowMs() + options.chatter_ms : -1;
    for (;;) {
        if (stop_signal != 0) {
            return stop_signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
        }
        double now = NowMs();
        std::vector<ReceivedLine> done;
        double due = EndQuietLine(&line.lines, now, &done);
        LogLinesEnded(done);
        if (ChatterDue(&chatter, now, line.last_line_end_ms, line.lines.lines)) {
            SendChatter();
        }
        pollfd watched[2] = {{line.watched.watch.fd(), POLLIN, 0},
                             {line.watched.master, POLLIN, 0}};
        const bool resting = line.master_rests_until > now;
        nfds_t watched_count = resting ? 1 : 2;
        // Wakes for the earliest of a quiet line's end, the next chatter and the master's rest.
        double wake = due;
        for (double at : {chatter.next_ms, resting ? line.master_rests_until : -1}) {
            wake = at >= 0 && (wake < 0 || at < wake) ? at : wake;
        }
        if (WaitForEvents(watched, watched_count, wake, now, during_wait, &line.woke_late_ms) < 0) {
            continue;  // a signal: the loop's head decides
        }
        if (watched[0].revents & POLLIN) {
            TakePortEvents(true, options);
        }
        if (watched_count == 2 && watched[1].revents != 0 && !TakeProgramPacket()) {
            line.master_rests_until = NowMs() + 100;
        }
        if (TakePortEvents(false, options)) {
            return "stopped: the program closed the port";
        }
    }
}

void TakeTheRest() {
    line.woke_late_ms = 0;
    pollfd last = {line.watched.master, POLLIN, 0};
    while (poll(&last, 1, 0) > 0 && (last.revents & POLLIN) && TakeProgramPacket()) {
    }
    std::vector<ReceivedLine> done;
    EndPendingLine(&line.lines, &done);
    LogLinesEnded(done);
}

void LogSummary() {
    std::fprintf(out.text, "k410sim summary: %s, %d opens, %d closes, at most %d user(s) at once",
                 SummaryText(line.lines).c_str(), counts.opens, counts.closes, counts.most_users);
    if (chatter.bytes > 0) {
        std::fprintf(out.text, ", %lld chatter bytes sent, %d purges, %d writes over stale input",
                     chatter.bytes, counts.purges, counts.stale_writes);
    }
    std::fprintf(out.text, "\n");
    std::fflush(out.text);
}

int Run(const SimOptions& options) {
    std::string error;
    if (OpenWatchedLine(options.prefix, options.port_number, &line.watched, &error) != 0) {
        std::fprintf(stderr, "k410sim: %s\n", error.c_str());
        return 2;
    }
    StartTheLog(options);
    const char* why = ServeTheLine(options, BlockStopSignalsButInWaits());
    TakeTheRest();
    Log("%s", why);
    WithdrawWatchedLine(line.watched, false);
    LogSummary();
    return 0;
}

// Opens `path` for the log or the capture (`what`), unless it is "".
bool OpenOutput(const std::string& path, const char* mode, const char* what, FILE** file) {
    if (!path.empty() && (*file = std::fopen(path.c_str(), mode)) == nullptr) {
        std::fprintf(stderr, "k410sim: cannot write the %s %s: %s\n", what, path.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    if (const int parsed = ParseOptions(argc, argv, &options); parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    out.start_ms = NowMs();
    if (!OpenOutput(options.log_path, "w", "log", &out.text) ||
        !OpenOutput(options.capture_path, "wb", "capture", &out.capture)) {
        return 2;
    }
    struct sigaction on_stop {};
    on_stop.sa_handler = [](int signal_number) { stop_signal = signal_number; };
    sigaction(SIGINT, &on_stop, nullptr);
    sigaction(SIGTERM, &on_stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return Run(options);  // the log and the capture are closed on the way out
}
