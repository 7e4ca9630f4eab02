// k410sim: a virtual TALVEN 410 analyzer for rehearsing and debugging k410prog without one.
//
// It opens a pseudo-terminal, publishes its slave as COM<n> the way Wine does (a link
// <prefix>/dosdevices/com<n>), and plays the analyzer's end of the line: every line that
// arrives is logged with its arrival time and the pause since the previous line was off the
// wire (a pseudo-terminal hands a line over at once, as a USB adapter takes it, but the analyzer
// receives it at 9600 baud), and pauses shorter than the analyzer needs are flagged. Opens and
// closes of the port, and purges of its buffers, are logged too, so the log shows whether the
// loader found the port free and whether stale input was thrown away before each write.
//
//   k410sim --prefix "$WINEPREFIX" --port 3      then run k410prog with that WINEPREFIX
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_lines.h"
#include "sim_port.h"

namespace {

const char kUsage[] =
    "Usage: k410sim [options]\n"
    "A virtual TALVEN 410 analyzer on a pseudo-terminal, published as a Wine COM port.\n"
    "\n"
    "  -p, --port N             publish as COM<N> (1-255; default 3)\n"
    "  -P, --prefix DIR         link DIR/dosdevices/com<N> (default: a scratch folder that is\n"
    "                           printed and removed at exit); run k410prog with WINEPREFIX=DIR\n"
    "  -l, --log FILE           write the log to FILE instead of standard output\n"
    "  -c, --capture FILE       also write every received byte, as received, to FILE\n"
    "      --chatter MS         send a status line to the program every MS ms, as a real\n"
    "                           instrument does (default: off); the log then shows whether\n"
    "                           that stale input was discarded before each write\n"
    "      --stop-after-closes N  stop when the port has been closed N times and no one\n"
    "                           holds it\n"
    "      --stop-after-data    stop when the port is closed after data arrived\n"
    "      --gap MS             quiet time that ends a line with no CR or LF (default 50)\n"
    "      --min-pause MS       pauses between lines below this are flagged (default 250)\n"
    "      --tolerance MS       ... less this much for the timing's own error (default 1)\n"
    "  -h, --help               show this text\n"
    "\n"
    "Pauses count from when the line before was off the wire at 9600 baud (1.04 ms a byte\n"
    "from its start), however fast the pseudo-terminal handed it over.\n"
    "Stops on SIGINT or SIGTERM (or as asked above) and prints a one-line summary:\n"
    "lines, bytes, shortest and longest pause, pauses under the minimum.\n";

// What the technician's command line asked for.
struct SimOptions {
    int port_number = 3;
    std::string prefix;
    std::string log_path;
    std::string capture_path;
    double chatter_ms = 0;
    int stop_after_closes = 0;
    bool stop_after_data = false;
    double gap_ms = 50;
    double min_pause_ms = 250;
    double tolerance_ms = 1;
};

// The running analyzer, one per process.
struct Analyzer {
    volatile sig_atomic_t stop_signal = 0;  // SIGINT or SIGTERM once one has come
    FILE* log = stdout;
    FILE* capture = nullptr;
    double start_ms = 0;
    int master = -1;
    int slave = -1;
    int notify_fd = -1;  // the slave's opens and closes
    std::string slave_name;
    std::string prefix;
    bool scratch_prefix = false;  // made here, removed at the end
    std::string link_path;
    LineSplitter lines;
    // Opens and closes of the slave, as inotify reports them, not yet taken.
    std::vector<uint32_t> port_events;
    int users = 0;
    int opens = 0;
    int closes = 0;
    int most_users = 0;
    double last_line_end_ms = -1;
    int chatter_lines = 0;
    long long chatter_bytes = 0;
    long long chatter_since_purge = 0;
    int stale_writes = 0;
    int purges = 0;
    // How late the analyzer woke to what it is reading now: the event came that much before it
    // saw it. Without real-time priority, a busy machine may keep it waiting for ms.
    double woke_late_ms = 0;
};

Analyzer analyzer;

double EventMs() {
    return NowMs() - analyzer.woke_late_ms;
}

void OnStopSignal(int signal_number) {
    analyzer.stop_signal = signal_number;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    std::fprintf(analyzer.log, "%10.3f s  ", (NowMs() - analyzer.start_ms) / 1000.0);
    va_list args;
    va_start(args, format);
    std::vfprintf(analyzer.log, format, args);
    va_end(args);
    std::fputc('\n', analyzer.log);
    std::fflush(analyzer.log);
}

bool ParseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    errno = 0;
    double number = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high) {
        return false;
    }
    *value = number;
    return true;
}

// Returns 0 to run, 1 after --help, 2 on a bad command line.
int ParseOptions(int argc, char** argv, SimOptions* options) {
    enum { kChatter = 256, kStopAfterCloses, kStopAfterData, kGap, kMinPause, kTolerance };
    static const option kLong[] = {
        {"port", required_argument, nullptr, 'p'},
        {"prefix", required_argument, nullptr, 'P'},
        {"log", required_argument, nullptr, 'l'},
        {"capture", required_argument, nullptr, 'c'},
        {"chatter", required_argument, nullptr, kChatter},
        {"stop-after-closes", required_argument, nullptr, kStopAfterCloses},
        {"stop-after-data", no_argument, nullptr, kStopAfterData},
        {"gap", required_argument, nullptr, kGap},
        {"min-pause", required_argument, nullptr, kMinPause},
        {"tolerance", required_argument, nullptr, kTolerance},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int choice = 0;
    double number = 0;
    while ((choice = getopt_long(argc, argv, "p:P:l:c:h", kLong, nullptr)) != -1) {
        bool good = true;
        switch (choice) {
            case 'p':
                good = ParseNumber(optarg, 1, 255, &number);
                options->port_number = static_cast<int>(number);
                good = good && number == options->port_number;
                break;
            case 'P':
                options->prefix = optarg;
                break;
            case 'l':
                options->log_path = optarg;
                break;
            case 'c':
                options->capture_path = optarg;
                break;
            case kChatter:
                good = ParseNumber(optarg, 0, 3600000, &options->chatter_ms);
                break;
            case kStopAfterCloses:
                good = ParseNumber(optarg, 1, 1000000, &number);
                options->stop_after_closes = static_cast<int>(number);
                break;
            case kStopAfterData:
                options->stop_after_data = true;
                break;
            case kGap:
                good = ParseNumber(optarg, 1, 10000, &options->gap_ms);
                break;
            case kMinPause:
                good = ParseNumber(optarg, 0, 3600000, &options->min_pause_ms);
                break;
            case kTolerance:
                good = ParseNumber(optarg, 0, 1000, &options->tolerance_ms);
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 1;
            default:
                std::fputs(kUsage, stderr);
                return 2;
        }
        if (!good) {
            std::fprintf(stderr, "k410sim: bad value for option %s: %s\n", argv[optind - 1],
                         optarg);
            return 2;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "k410sim: unexpected argument: %s\n%s", argv[optind], kUsage);
        return 2;
    }
    return 0;
}

int WaitingInput() {
    int waiting = 0;
    if (ioctl(analyzer.slave, FIONREAD, &waiting) != 0) {
        return 0;
    }
    return waiting;
}

void LogLine(const ReceivedLine& line) {
    std::string terminator = line.terminator.empty() ? "" : " " + Printable(line.terminator);
    char pause[64] = "      first";
    if (line.pause_ms >= 0) {
        std::snprintf(pause, sizeof pause, "+%8.1f ms", line.pause_ms);
    }
    char late[64] = "";
    if (line.delay_ms >= 1) {
        std::snprintf(late, sizeof late, "  (handed over %.1f ms after the purge)", line.delay_ms);
    }
    std::fprintf(analyzer.log, "%10.3f s  line %3d %s %4zu bytes  \"%s\"%s%s%s\n",
                 (line.first_ms - analyzer.start_ms) / 1000.0, line.number, pause,
                 line.text.size() + line.terminator.size(), Printable(line.text).c_str(),
                 terminator.c_str(), late,
                 line.on_the_wire   ? "  << SHORT PAUSE, begun with the line before on the wire"
                 : line.short_pause ? "  << SHORT PAUSE"
                 : line.evened_out  ? "  (short, evened out by the long pause before: read late)"
                                    : "");
    std::fflush(analyzer.log);
}

void TakeLines(std::vector<ReceivedLine>* done) {
    for (const ReceivedLine& line : *done) {
        LogLine(line);
        analyzer.last_line_end_ms = line.end_ms;
    }
    done->clear();
}

// Data bytes from the program.
void TakeData(const char* data, int count) {
    double now = EventMs();
    if (analyzer.capture != nullptr) {
        std::fwrite(data, 1, static_cast<size_t>(count), analyzer.capture);
        std::fflush(analyzer.capture);
    }
    int lines_before = analyzer.lines.lines;
    std::vector<ReceivedLine> done;
    FeedBytes(&analyzer.lines, data, count, now, &done);
    TakeLines(&done);
    // The program purges its input right before each write, so nothing of what the analyzer
    // said earlier may still be waiting when a line arrives.
    int waiting = WaitingInput();
    if (analyzer.chatter_bytes > 0 && waiting > 0 && analyzer.lines.lines > lines_before) {
        ++analyzer.stale_writes;
        Log("stale input NOT discarded: %d bytes were still waiting in the port when it wrote",
            waiting);
    }
}

// Control packets of the master in packet mode: the program flushed its buffers. Logged
// when the analyzer chatters, where they show what became of its words; otherwise they
// would only repeat, line after line, that the program purges before it writes.
void TakePacketControl(unsigned char control, bool chatter_on) {
    if (control & TIOCPKT_FLUSHREAD) {
        ++analyzer.purges;
        NotePurge(&analyzer.lines, EventMs());
        if (analyzer.chatter_since_purge > 0) {
            Log("receive side purged by the program: %lld bytes of stale chatter discarded",
                analyzer.chatter_since_purge);
        } else if (chatter_on) {
            Log("receive side purged by the program");
        }
        analyzer.chatter_since_purge = 0;
    }
    if ((control & TIOCPKT_FLUSHWRITE) && chatter_on) {
        Log("transmit side purged by the program");
    }
}

// Returns false when the master can no longer be read (no one holds the slave), so the
// caller rests it instead of polling it in a loop.
bool ReadLine(bool chatter_on) {
    char buffer[4097];
    ssize_t count = read(analyzer.master, buffer, sizeof buffer);
    if (count < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (count == 0) {
        return false;
    }
    if (buffer[0] == TIOCPKT_DATA) {
        if (count > 1) {
            TakeData(buffer + 1, static_cast<int>(count - 1));
        }
    } else {
        TakePacketControl(static_cast<unsigned char>(buffer[0]), chatter_on);
    }
    return true;
}

// A real port stops being exclusive when its last user closes it; a pseudo-terminal keeps
// the flag as long as its master lives, so the analyzer drops it on the port's behalf.
void EndExclusiveUse() {
    int exclusive = 0;
    if (ioctl(analyzer.slave, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        ioctl(analyzer.slave, TIOCNXCL);
        Log("port left in exclusive mode by its last user; released as a real port would be");
    }
}

// inotify merges an event into a like one still unread, so two opens (or closes) within the
// moment before the analyzer reads them count once; programs and loaders taking turns on the
// port are never that close.
void ReadPortEvents() {
    alignas(inotify_event) char buffer[4096];
    ssize_t count = 0;
    while ((count = read(analyzer.notify_fd, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + count;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
            analyzer.port_events.push_back(event->mask);
            at += sizeof(inotify_event) + event->len;
        }
    }
}

// Takes the queued opens and closes in order; with `opens_only`, stops at the first close
// (the data read next may have come before it). Returns true when the analyzer should stop.
bool TakePortEvents(bool opens_only, const SimOptions& options) {
    bool stop = false;
    size_t taken = 0;
    for (; taken < analyzer.port_events.size(); ++taken) {
        uint32_t mask = analyzer.port_events[taken];
        if (mask & IN_OPEN) {
            ++analyzer.opens;
            ++analyzer.users;
            analyzer.most_users =
                analyzer.users > analyzer.most_users ? analyzer.users : analyzer.most_users;
            if (analyzer.users > 1) {
                Log("port opened (open %d) while %d other user(s) still hold it", analyzer.opens,
                    analyzer.users - 1);
            } else {
                Log("port opened (open %d)", analyzer.opens);
            }
        } else if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            if (opens_only) {
                break;
            }
            ++analyzer.closes;
            if (analyzer.users == 0) {
                // Only a merged report (or an open from before the analyzer started) leaves a
                // close without a user: say so rather than let the counts pass as exact.
                Log("port closed (close %d) with no open seen: opens that came together were "
                    "counted once, so the counts of opens and users are low",
                    analyzer.closes);
            } else {
                --analyzer.users;
                Log("port closed (close %d)", analyzer.closes);
            }
            if (analyzer.users == 0) {
                EndExclusiveUse();
                stop = stop ||
                       (options.stop_after_closes > 0 &&
                        analyzer.closes >= options.stop_after_closes) ||
                       (options.stop_after_data && analyzer.lines.bytes > 0);
            }
        }
    }
    analyzer.port_events.erase(analyzer.port_events.begin(),
                               analyzer.port_events.begin() + static_cast<long>(taken));
    return stop;
}

void SendChatter() {
    if (WaitingInput() > 1024) {
        return;  // no one is reading; a real instrument's words would be lost the same way
    }
    char text[64];
    int length = std::snprintf(text, sizeof text, "T410 STATUS %04d READY 12.6V\r\n",
                               ++analyzer.chatter_lines % 10000);
    if (write(analyzer.master, text, static_cast<size_t>(length)) == length) {
        analyzer.chatter_bytes += length;
        analyzer.chatter_since_purge += length;
        Log("chatter sent to the program: \"%s\"", Printable(text).c_str());
    }
}

// Chatter is due every period, but never in the window where the next line is expected, so a
// purge that happens just before a write and chatter that lands right after it are not
// mistaken for stale input.
bool ChatterAllowed(double now) {
    if (analyzer.last_line_end_ms < 0) {
        return true;
    }
    double since_line = now - analyzer.last_line_end_ms;
    return since_line < 200 || since_line > 1000;
}

// Opens the analyzer's line, in packet mode so that the program's purges show, and watches
// its slave for opens and closes. Returns 0, or 2 with the reason told.
int OpenWatchedLine() {
    std::string error;
    if (OpenAnalyzerLine(&analyzer.master, &analyzer.slave, &analyzer.slave_name, &error) != 0) {
        std::fprintf(stderr, "k410sim: %s\n", error.c_str());
        return 2;
    }
    int packet_mode = 1;
    ioctl(analyzer.master, TIOCPKT, &packet_mode);
    analyzer.notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (analyzer.notify_fd < 0 || inotify_add_watch(analyzer.notify_fd, analyzer.slave_name.c_str(),
                                                    IN_OPEN | IN_CLOSE) < 0) {
        std::fprintf(stderr, "k410sim: cannot watch %s: %s\n", analyzer.slave_name.c_str(),
                     std::strerror(errno));
        return 2;
    }
    return 0;
}

// Publishes the line as COM<n> in the prefix asked for, or in a scratch one. Returns 0, or 2
// with the reason told.
int PublishPort(const SimOptions& options) {
    analyzer.prefix = options.prefix;
    analyzer.scratch_prefix = analyzer.prefix.empty();
    if (analyzer.scratch_prefix) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/k410sim-prefix.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            std::fprintf(stderr, "k410sim: cannot create a scratch prefix: %s\n",
                         std::strerror(errno));
            return 2;
        }
        analyzer.prefix = name.data();
    }
    std::string error;
    if (PublishComLink(analyzer.prefix, options.port_number, analyzer.slave_name, &error) != 0) {
        std::fprintf(stderr, "k410sim: %s\n", error.c_str());
        return 2;
    }
    analyzer.link_path = ComLinkPath(analyzer.prefix, options.port_number);
    return 0;
}

// Takes the line splitter's settings and tells the technician where the analyzer is and how it
// judges what arrives.
void StartTheLog(const SimOptions& options) {
    analyzer.lines.gap_ms = options.gap_ms;
    analyzer.lines.min_pause_ms = options.min_pause_ms;
    analyzer.lines.tolerance_ms = options.tolerance_ms;
    std::fprintf(analyzer.log, "k410sim: virtual TALVEN 410 analyzer on COM%d: %s -> %s\n",
                 options.port_number, analyzer.link_path.c_str(), analyzer.slave_name.c_str());
    std::fprintf(analyzer.log, "k410sim: run k410prog with WINEPREFIX=%s%s\n",
                 analyzer.prefix.c_str(),
                 analyzer.scratch_prefix ? " (scratch prefix, removed at exit)" : "");
    std::fprintf(analyzer.log,
                 "k410sim: 9600 baud, 8N1, raw; lines end at CR, LF or %.0f ms of quiet; "
                 "pauses under %.0f ms from the line before off the wire (%.2f ms a byte from "
                 "its start; measured to within %.1f ms, from the program's purges where it "
                 "purges) are flagged; timing at %s\n",
                 options.gap_ms, options.min_pause_ms, analyzer.lines.byte_ms, options.tolerance_ms,
                 AskForPromptWakeups());
    std::fflush(analyzer.log);
}

// Blocks SIGINT and SIGTERM, so that they arrive only while the analyzer waits, and returns the
// mask to wait with.
sigset_t BlockStopSignalsButInWaits() {
    sigset_t blocked;
    sigset_t during_wait;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    sigdelset(&during_wait, SIGINT);
    sigdelset(&during_wait, SIGTERM);
    return during_wait;
}

// What the analyzer does next of its own accord: chatter, and look at a master that no one
// held again.
struct Schedule {
    double next_chatter = -1;
    int lines_seen = 0;  // lines received when chatter was last held back
    double master_rests_until = 0;
};

// Sends chatter when it is due and allowed; holds it back otherwise.
void ChatterOnTime(double now, const SimOptions& options, Schedule* schedule) {
    if (schedule->next_chatter >= 0 && now >= schedule->next_chatter) {
        if (ChatterAllowed(now)) {
            SendChatter();
            schedule->next_chatter = now + options.chatter_ms;
        } else {
            // Held back until the next line has come (or the line has gone quiet).
            schedule->next_chatter = analyzer.last_line_end_ms + 1000.5;
            schedule->lines_seen = analyzer.lines.lines;
        }
    }
    if (schedule->next_chatter > now && analyzer.lines.lines > schedule->lines_seen &&
        schedule->lines_seen > 0) {
        // A held-back word goes out in the middle of the pause after the next line.
        schedule->next_chatter = analyzer.last_line_end_ms + 100;
        schedule->lines_seen = 0;
    }
}

// The earliest of `due` (a quiet line's end) and what the schedule has next, or -1 for none.
double NextWake(double due, const Schedule& schedule, double now) {
    double wake = due;
    for (double candidate :
         {schedule.next_chatter,
          schedule.master_rests_until > now ? schedule.master_rests_until : -1}) {
        if (candidate >= 0 && (wake < 0 || candidate < wake)) {
            wake = candidate;
        }
    }
    return wake;
}

// Waits for `watched` until `wake` (-1: no end), letting the stop signals in meanwhile, and
// notes how late the analyzer woke. Returns what ppoll returned.
int WaitForEvents(pollfd* watched, nfds_t watched_count, double wake, double now,
                  const sigset_t& during_wait) {
    timespec timeout{};
    timespec* timeout_at = nullptr;
    if (wake >= 0) {
        double wait = wake - now;
        wait = wait < 0 ? 0 : wait + 0.05;
        timeout.tv_sec = static_cast<time_t>(wait / 1000);
        timeout.tv_nsec = static_cast<long>((wait - timeout.tv_sec * 1000.0) * 1e6);
        timeout_at = &timeout;
    }
    TakeRunQueueWaitMs();
    int ready = ppoll(watched, watched_count, timeout_at, &during_wait);
    analyzer.woke_late_ms = TakeRunQueueWaitMs();
    return ready;
}

// Plays the analyzer's end of the line until a stop signal comes or the program closed the port
// as the options ask. Returns why it stopped, for the log.
const char* ServeTheLine(const SimOptions& options, const sigset_t& during_wait) {
    Schedule schedule;
    schedule.next_chatter = options.chatter_ms > 0 ? NowMs() + options.chatter_ms : -1;
    for (;;) {
        if (analyzer.stop_signal != 0) {
            return analyzer.stop_signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
        }
        double now = NowMs();
        std::vector<ReceivedLine> done;
        double due = EndQuietLine(&analyzer.lines, now, &done);
        TakeLines(&done);
        ChatterOnTime(now, options, &schedule);
        pollfd watched[2] = {{analyzer.notify_fd, POLLIN, 0}, {analyzer.master, POLLIN, 0}};
        nfds_t watched_count = schedule.master_rests_until > now ? 1 : 2;
        if (WaitForEvents(watched, watched_count, NextWake(due, schedule, now), now, during_wait) <
            0) {
            continue;  // a signal: the loop's head decides
        }
        if (watched[0].revents & POLLIN) {
            ReadPortEvents();
            TakePortEvents(true, options);
        }
        if (watched_count == 2 && watched[1].revents != 0) {
            if (!ReadLine(options.chatter_ms > 0)) {
                schedule.master_rests_until = NowMs() + 100;
            }
        }
        ReadPortEvents();
        if (TakePortEvents(false, options)) {
            return "stopped: the program closed the port";
        }
    }
}

// Takes what arrived before the stop, and ends the line still pending.
void TakeTheRest(bool chatter_on) {
    analyzer.woke_late_ms = 0;
    while (true) {
        pollfd last = {analyzer.master, POLLIN, 0};
        if (poll(&last, 1, 0) <= 0 || !(last.revents & POLLIN) || !ReadLine(chatter_on)) {
            break;
        }
    }
    std::vector<ReceivedLine> done;
    EndPendingLine(&analyzer.lines, &done);
    TakeLines(&done);
}

// Takes the COM port back, with the scratch prefix if it made one.
void WithdrawPort() {
    WithdrawComLink(analyzer.link_path, analyzer.slave_name);
    if (analyzer.scratch_prefix) {
        rmdir((analyzer.prefix + "/dosdevices").c_str());
        rmdir(analyzer.prefix.c_str());
    }
}

void LogSummary() {
    std::string summary = SummaryText(analyzer.lines);
    std::fprintf(analyzer.log,
                 "k410sim summary: %s, %d opens, %d closes, at most %d user(s) at once",
                 summary.c_str(), analyzer.opens, analyzer.closes, analyzer.most_users);
    if (analyzer.chatter_bytes > 0) {
        std::fprintf(analyzer.log,
                     ", %lld chatter bytes sent, %d purges, %d writes over stale input",
                     analyzer.chatter_bytes, analyzer.purges, analyzer.stale_writes);
    }
    std::fprintf(analyzer.log, "\n");
    std::fflush(analyzer.log);
}

int Run(const SimOptions& options) {
    if (OpenWatchedLine() != 0 || PublishPort(options) != 0) {
        return 2;
    }
    StartTheLog(options);
    const char* why = ServeTheLine(options, BlockStopSignalsButInWaits());
    TakeTheRest(options.chatter_ms > 0);
    Log("%s", why);
    WithdrawPort();
    LogSummary();
    close(analyzer.notify_fd);
    close(analyzer.master);
    close(analyzer.slave);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    analyzer.start_ms = NowMs();
    if (!options.log_path.empty()) {
        analyzer.log = std::fopen(options.log_path.c_str(), "w");
        if (analyzer.log == nullptr) {
            std::fprintf(stderr, "k410sim: cannot write the log %s: %s\n", options.log_path.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    if (!options.capture_path.empty()) {
        analyzer.capture = std::fopen(options.capture_path.c_str(), "wb");
        if (analyzer.capture == nullptr) {
            std::fprintf(stderr, "k410sim: cannot write the capture %s: %s\n",
                         options.capture_path.c_str(), std::strerror(errno));
            return 2;
        }
    }
    struct sigaction on_stop {};
    on_stop.sa_handler = OnStopSignal;
    sigemptyset(&on_stop.sa_mask);
    sigaction(SIGINT, &on_stop, nullptr);
    sigaction(SIGTERM, &on_stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int status = Run(options);
    if (analyzer.capture != nullptr) {
        std::fclose(analyzer.capture);
    }
    if (analyzer.log != stdout) {
        std::fclose(analyzer.log);
    }
    return status;
}
