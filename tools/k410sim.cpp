// k410sim: a virtual TALVEN 410 analyzer for rehearsing and debugging k410prog without one.
//
// It opens a pseudo-terminal, publishes its slave as COM<n> the way Wine does (a link
// <prefix>/dosdevices/com<n>), and plays the analyzer's end of the line: every line that
// arrives is logged with its arrival time and the pause since the previous line, and pauses
// shorter than the analyzer needs are flagged. Opens and closes of the port, and purges of its
// buffers, are logged too, so the log shows whether the loader found the port free and whether
// stale input was thrown away before each write.
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

// Module state of the running analyzer.
volatile sig_atomic_t g_stop_signal = 0;
FILE* g_log = stdout;
FILE* g_capture = nullptr;
double g_start_ms = 0;
int g_master = -1;
int g_slave = -1;
LineSplitter g_lines;
int g_users = 0;
int g_opens = 0;
int g_closes = 0;
int g_most_users = 0;
double g_last_line_end_ms = -1;
long long g_chatter_bytes = 0;
long long g_chatter_since_purge = 0;
int g_stale_writes = 0;
int g_purges = 0;
// How late the analyzer woke to what it is reading now: an event happened that much before
// the analyzer saw it. Without real-time priority, a busy machine may keep it waiting for ms.
double g_woke_late_ms = 0;

double EventMs() {
    return NowMs() - g_woke_late_ms;
}

void OnStopSignal(int signal_number) {
    g_stop_signal = signal_number;
}

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    std::fprintf(g_log, "%10.3f s  ", (NowMs() - g_start_ms) / 1000.0);
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fputc('\n', g_log);
    std::fflush(g_log);
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
    if (ioctl(g_slave, FIONREAD, &waiting) != 0) {
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
    std::fprintf(g_log, "%10.3f s  line %3d %s %4zu bytes  \"%s\"%s%s%s\n",
                 (line.first_ms - g_start_ms) / 1000.0, line.number, pause,
                 line.text.size() + line.terminator.size(), Printable(line.text).c_str(),
                 terminator.c_str(), late,
                 line.short_pause  ? "  << SHORT PAUSE"
                 : line.evened_out ? "  (short, evened out by the long pause before: read late)"
                                   : "");
    std::fflush(g_log);
}

void TakeLines(std::vector<ReceivedLine>* done) {
    for (const ReceivedLine& line : *done) {
        LogLine(line);
        g_last_line_end_ms = line.last_ms;
    }
    done->clear();
}

// Data bytes from the program.
void TakeData(const char* data, int count) {
    double now = EventMs();
    if (g_capture != nullptr) {
        std::fwrite(data, 1, static_cast<size_t>(count), g_capture);
        std::fflush(g_capture);
    }
    int lines_before = g_lines.lines;
    std::vector<ReceivedLine> done;
    FeedBytes(&g_lines, data, count, now, &done);
    TakeLines(&done);
    // The program purges its input right before each write, so nothing of what the analyzer
    // said earlier may still be waiting when a line arrives.
    int waiting = WaitingInput();
    if (g_chatter_bytes > 0 && waiting > 0 && g_lines.lines > lines_before) {
        ++g_stale_writes;
        Log("stale input NOT discarded: %d bytes were still waiting in the port when it wrote",
            waiting);
    }
}

// Control packets of the master in packet mode: the program flushed its buffers. Logged
// when the analyzer chatters, where they show what became of its words; otherwise they
// would only repeat, line after line, that the program purges before it writes.
void TakePacketControl(unsigned char control, bool chatter_on) {
    if (control & TIOCPKT_FLUSHREAD) {
        ++g_purges;
        NotePurge(&g_lines, EventMs());
        if (g_chatter_since_purge > 0) {
            Log("receive side purged by the program: %lld bytes of stale chatter discarded",
                g_chatter_since_purge);
        } else if (chatter_on) {
            Log("receive side purged by the program");
        }
        g_chatter_since_purge = 0;
    }
    if ((control & TIOCPKT_FLUSHWRITE) && chatter_on) {
        Log("transmit side purged by the program");
    }
}

// Returns false when the master can no longer be read (no one holds the slave), so the
// caller rests it instead of polling it in a loop.
bool ReadLine(bool chatter_on) {
    char buffer[4097];
    ssize_t count = read(g_master, buffer, sizeof buffer);
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
    if (ioctl(g_slave, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        ioctl(g_slave, TIOCNXCL);
        Log("port left in exclusive mode by its last user; released as a real port would be");
    }
}

// Opens and closes of the slave, as inotify reports them. inotify merges an event into a like
// one still unread, so two opens (or closes) within the moment before the analyzer reads
// them count once; programs and loaders taking turns on the port are never that close.
std::vector<uint32_t> g_port_events;

void ReadPortEvents(int notify_fd) {
    alignas(inotify_event) char buffer[4096];
    ssize_t count = 0;
    while ((count = read(notify_fd, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + count;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
            g_port_events.push_back(event->mask);
            at += sizeof(inotify_event) + event->len;
        }
    }
}

// Takes the queued opens and closes in order; with `opens_only`, stops at the first close
// (the data read next may have come before it). Returns true when the analyzer should stop.
bool TakePortEvents(bool opens_only, const SimOptions& options) {
    bool stop = false;
    size_t taken = 0;
    for (; taken < g_port_events.size(); ++taken) {
        uint32_t mask = g_port_events[taken];
        if (mask & IN_OPEN) {
            ++g_opens;
            ++g_users;
            g_most_users = g_users > g_most_users ? g_users : g_most_users;
            if (g_users > 1) {
                Log("port opened (open %d) while %d other user(s) still hold it", g_opens,
                    g_users - 1);
            } else {
                Log("port opened (open %d)", g_opens);
            }
        } else if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            if (opens_only) {
                break;
            }
            ++g_closes;
            if (g_users == 0) {
                // Only a merged report (or an open from before the analyzer started) leaves a
                // close without a user: say so rather than let the counts pass as exact.
                Log("port closed (close %d) with no open seen: opens that came together were "
                    "counted once, so the counts of opens and users are low",
                    g_closes);
            } else {
                --g_users;
                Log("port closed (close %d)", g_closes);
            }
            if (g_users == 0) {
                EndExclusiveUse();
                stop = stop ||
                       (options.stop_after_closes > 0 && g_closes >= options.stop_after_closes) ||
                       (options.stop_after_data && g_lines.bytes > 0);
            }
        }
    }
    g_port_events.erase(g_port_events.begin(), g_port_events.begin() + static_cast<long>(taken));
    return stop;
}

void SendChatter() {
    static int count = 0;
    if (WaitingInput() > 1024) {
        return;  // no one is reading; a real instrument's words would be lost the same way
    }
    char text[64];
    int length =
        std::snprintf(text, sizeof text, "T410 STATUS %04d READY 12.6V\r\n", ++count % 10000);
    if (write(g_master, text, static_cast<size_t>(length)) == length) {
        g_chatter_bytes += length;
        g_chatter_since_purge += length;
        Log("chatter sent to the program: \"%s\"", Printable(text).c_str());
    }
}

// Chatter is due every period, but never in the window where the next line is expected, so a
// purge that happens just before a write and chatter that lands right after it are not
// mistaken for stale input.
bool ChatterAllowed(double now) {
    if (g_last_line_end_ms < 0) {
        return true;
    }
    double since_line = now - g_last_line_end_ms;
    return since_line < 200 || since_line > 1000;
}

int Run(const SimOptions& options) {
    std::string error;
    std::string slave_name;
    if (OpenAnalyzerLine(&g_master, &g_slave, &slave_name, &error) != 0) {
        std::fprintf(stderr, "k410sim: %s\n", error.c_str());
        return 2;
    }
    int packet_mode = 1;
    ioctl(g_master, TIOCPKT, &packet_mode);
    int notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_fd < 0 || inotify_add_watch(notify_fd, slave_name.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        std::fprintf(stderr, "k410sim: cannot watch %s: %s\n", slave_name.c_str(),
                     std::strerror(errno));
        return 2;
    }

    std::string prefix = options.prefix;
    bool scratch_prefix = prefix.empty();
    if (scratch_prefix) {
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
        prefix = name.data();
    }
    if (PublishComLink(prefix, options.port_number, slave_name, &error) != 0) {
        std::fprintf(stderr, "k410sim: %s\n", error.c_str());
        return 2;
    }
    std::string link_path = ComLinkPath(prefix, options.port_number);

    g_lines.gap_ms = options.gap_ms;
    g_lines.min_pause_ms = options.min_pause_ms;
    g_lines.tolerance_ms = options.tolerance_ms;
    std::fprintf(g_log, "k410sim: virtual TALVEN 410 analyzer on COM%d: %s -> %s\n",
                 options.port_number, link_path.c_str(), slave_name.c_str());
    std::fprintf(g_log, "k410sim: run k410prog with WINEPREFIX=%s%s\n", prefix.c_str(),
                 scratch_prefix ? " (scratch prefix, removed at exit)" : "");
    std::fprintf(g_log,
                 "k410sim: 9600 baud, 8N1, raw; lines end at CR, LF or %.0f ms of quiet; "
                 "pauses under %.0f ms (measured to within %.1f ms, from the program's purges "
                 "where it purges) are flagged; timing at %s\n",
                 options.gap_ms, options.min_pause_ms, options.tolerance_ms, AskForPromptWakeups());
    std::fflush(g_log);

    sigset_t blocked;
    sigset_t during_wait;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    sigdelset(&during_wait, SIGINT);
    sigdelset(&during_wait, SIGTERM);

    double next_chatter = options.chatter_ms > 0 ? NowMs() + options.chatter_ms : -1;
    int lines_seen = 0;  // lines received when chatter was last held back
    double master_rests_until = 0;
    bool stop = false;
    const char* why = "stopped";
    while (!stop) {
        if (g_stop_signal != 0) {
            why = g_stop_signal == SIGINT ? "stopped by SIGINT" : "stopped by SIGTERM";
            break;
        }
        double now = NowMs();
        std::vector<ReceivedLine> done;
        double due = EndQuietLine(&g_lines, now, &done);
        TakeLines(&done);
        if (next_chatter >= 0 && now >= next_chatter) {
            if (ChatterAllowed(now)) {
                SendChatter();
                next_chatter = now + options.chatter_ms;
            } else {
                // Held back until the next line has come (or the line has gone quiet).
                next_chatter = g_last_line_end_ms + 1000.5;
                lines_seen = g_lines.lines;
            }
        }
        if (next_chatter > now && g_lines.lines > lines_seen && lines_seen > 0) {
            // A held-back word goes out in the middle of the pause after the next line.
            next_chatter = g_last_line_end_ms + 100;
            lines_seen = 0;
        }
        double wake = due;
        for (double candidate :
             {next_chatter, master_rests_until > now ? master_rests_until : -1}) {
            if (candidate >= 0 && (wake < 0 || candidate < wake)) {
                wake = candidate;
            }
        }
        pollfd watched[2] = {{notify_fd, POLLIN, 0}, {g_master, POLLIN, 0}};
        nfds_t watched_count = master_rests_until > now ? 1 : 2;
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
        g_woke_late_ms = TakeRunQueueWaitMs();
        if (ready < 0) {
            continue;  // a signal: the loop's head decides
        }
        if (watched[0].revents & POLLIN) {
            ReadPortEvents(notify_fd);
            TakePortEvents(true, options);
        }
        if (watched_count == 2 && watched[1].revents != 0) {
            if (!ReadLine(options.chatter_ms > 0)) {
                master_rests_until = NowMs() + 100;
            }
        }
        ReadPortEvents(notify_fd);
        if (TakePortEvents(false, options)) {
            stop = true;
            why = "stopped: the program closed the port";
        }
    }

    // Drain what arrived before the stop.
    g_woke_late_ms = 0;
    while (true) {
        pollfd last = {g_master, POLLIN, 0};
        if (poll(&last, 1, 0) <= 0 || !(last.revents & POLLIN) ||
            !ReadLine(options.chatter_ms > 0)) {
            break;
        }
    }
    std::vector<ReceivedLine> done;
    EndPendingLine(&g_lines, &done);
    TakeLines(&done);
    Log("%s", why);

    WithdrawComLink(link_path, slave_name);
    if (scratch_prefix) {
        rmdir((prefix + "/dosdevices").c_str());
        rmdir(prefix.c_str());
    }
    std::string summary = SummaryText(g_lines);
    std::fprintf(g_log, "k410sim summary: %s, %d opens, %d closes, at most %d user(s) at once",
                 summary.c_str(), g_opens, g_closes, g_most_users);
    if (g_chatter_bytes > 0) {
        std::fprintf(g_log, ", %lld chatter bytes sent, %d purges, %d writes over stale input",
                     g_chatter_bytes, g_purges, g_stale_writes);
    }
    std::fprintf(g_log, "\n");
    std::fflush(g_log);
    close(notify_fd);
    close(g_master);
    close(g_slave);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    int parsed = ParseOptions(argc, argv, &options);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    g_start_ms = NowMs();
    if (!options.log_path.empty()) {
        g_log = std::fopen(options.log_path.c_str(), "w");
        if (g_log == nullptr) {
            std::fprintf(stderr, "k410sim: cannot write the log %s: %s\n", options.log_path.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    if (!options.capture_path.empty()) {
        g_capture = std::fopen(options.capture_path.c_str(), "wb");
        if (g_capture == nullptr) {
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
    if (g_capture != nullptr) {
        std::fclose(g_capture);
    }
    if (g_log != stdout) {
        std::fclose(g_log);
    }
    return status;
}
