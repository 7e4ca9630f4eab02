// Fault injection at the boundary between k410prog and the system, loaded with LD_PRELOAD so
// that the program's real code paths run against a real pseudo-terminal and a real data file,
// with one chosen call failing the way a flaky adapter, a full disk or a broken loader makes it
// fail.
//
// Configured by the environment:
//   K410_FAULT         rules "call:N:action" separated by commas. The rule fires on the Nth
//                      use of `call` that concerns the target (counted from 1); "N+" fires on
//                      the Nth use and every later one.
//   K410_FAULT_DEVICE  the serial device (a pty slave); calls on any descriptor or path that is
//                      this character device are the serial calls.
//   K410_FAULT_FILE    a piece of the data file's name (default "K410HELP"); streams opened
//                      from such a name are the data file.
//   K410_FAULT_LOG     a file that receives one line per injected fault and, at exit, the
//                      number of uses of each call, so that a test can prove its fault was hit;
//                      also a record of the calls whose exact arguments matter, in order:
//                        "record tcflush in|out|both"   a purge of the device, by queue
//                        "record mbis <bits>"           modem lines raised (TIOCM_* bits)
//                        "record write <count>"         bytes the device took
//                        "record sleep <us> <us>"       a sleep's end (nanosleep or
//                                                       clock_nanosleep), in microseconds after
//                                                       the last device call returned, and
//                                                       after the last device write began
//
// Calls (what counts as a use):
//   open, flock, excl (ioctl TIOCEXCL), tcgetattr, tcsetattr, tcflush, write, poll,
//   outq (ioctl TIOCOUTQ), lsr (ioctl TIOCSERGETLSR), close        on the serial device
//   fopen, fread (fread, getc, fgetc, and read on the file's descriptor, as C++ file streams
//   read)                              on the data file
//   spawn (posix_spawn, posix_spawnp)   any
// Actions: an errno name (EIO, EINTR, EAGAIN, EBUSY, ...) makes the call fail with it; "short"
// makes write take only half of its bytes (at least one); "stall" makes TIOCOUTQ report a byte
// still queued; "ignore" makes tcsetattr report success without changing anything; "busy"
// makes TIOCSERGETLSR report a transmitter that never empties (as ftdi_sio does); "sent", on
// write, makes the device a USB adapter whose driver says the bytes are sent as soon as it has
// them: from that write on, TIOCOUTQ reports nothing queued and TIOCSERGETLSR an empty
// transmitter at once, however long the bytes still need on the wire.
//
// The variable LD_PRELOAD is removed at start, so programs that k410prog starts (the loader)
// run without faults.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

enum Action { ACTION_ERRNO, ACTION_SHORT, ACTION_STALL, ACTION_IGNORE, ACTION_BUSY, ACTION_SENT };

struct Rule {
    char call[16];
    long nth;
    bool and_later;
    Action action;
    int error;
    char action_name[16];
};

constexpr int kMaxRules = 16;
constexpr int kMaxCalls = 16;
constexpr int kMaxFiles = 8;

struct Counter {
    char call[16];
    long uses;
};

bool initialised = false;
Rule rules[kMaxRules];
int rule_count = 0;
Counter counters[kMaxCalls];
int counter_count = 0;
bool device_known = false;
dev_t device_rdev = 0;
char file_pattern[64] = "K410HELP";
char log_path[512] = "";
FILE* data_files[kMaxFiles];

struct ErrnoName {
    const char* name;
    int value;
};

const ErrnoName errno_names[] = {
    {"EIO", EIO},       {"EINTR", EINTR},   {"EAGAIN", EAGAIN},   {"EBUSY", EBUSY},
    {"ENOENT", ENOENT}, {"EACCES", EACCES}, {"EPERM", EPERM},     {"EINVAL", EINVAL},
    {"ENOTTY", ENOTTY}, {"ENXIO", ENXIO},   {"ENOEXEC", ENOEXEC}, {"ENODEV", ENODEV},
    {"ENOMEM", ENOMEM}, {"EBADF", EBADF},   {"ENOSPC", ENOSPC},   {"EWOULDBLOCK", EWOULDBLOCK},
};

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The next definition of the C library's `name`, which this file's own one hides.
#define REAL(name) Next<decltype(&name)>(#name)

// Appends a line to the log with the next write(), never through this file's own write().
void Log(const char* text) {
    if (log_path[0] == '\0') {
        return;
    }
    static auto real_write = REAL(write);
    static auto real_open = REAL(open);
    static auto real_close = REAL(close);
    int fd = real_open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    ssize_t ignored = real_write(fd, text, strlen(text));
    (void)ignored;
    real_close(fd);
}

bool ParseAction(const char* text, Rule* rule) {
    snprintf(rule->action_name, sizeof rule->action_name, "%s", text);
    static const struct {
        const char* name;
        Action action;
    } kActions[] = {{"short", ACTION_SHORT},
                    {"stall", ACTION_STALL},
                    {"ignore", ACTION_IGNORE},
                    {"busy", ACTION_BUSY},
                    {"sent", ACTION_SENT}};
    for (const auto& known : kActions) {
        if (strcmp(text, known.name) == 0) {
            rule->action = known.action;
            return true;
        }
    }
    for (const ErrnoName& known : errno_names) {
        if (strcmp(text, known.name) == 0) {
            rule->action = ACTION_ERRNO;
            rule->error = known.value;
            return true;
        }
    }
    return false;
}

// One rule "call:N[+]:action". A rule that does not parse is reported in the log and dropped,
// so that a mistyped test fails on its missing fault instead of passing silently.
void ParseRule(const char* text) {
    char call[16];
    char count[16];
    char action[16];
    if (rule_count == kMaxRules || sscanf(text, "%15[^:]:%15[^:]:%15s", call, count, action) != 3) {
        Log("bad rule\n");
        return;
    }
    Rule& rule = rules[rule_count];
    snprintf(rule.call, sizeof rule.call, "%s", call);
    char* end = nullptr;
    rule.nth = strtol(count, &end, 10);
    rule.and_later = end != nullptr && *end == '+';
    if (rule.nth < 1 || !ParseAction(action, &rule)) {
        Log("bad rule\n");
        return;
    }
    ++rule_count;
}

void Init() {
    if (initialised) {
        return;
    }
    initialised = true;
    const char* log = getenv("K410_FAULT_LOG");
    if (log != nullptr) {
        snprintf(log_path, sizeof log_path, "%s", log);
    }
    const char* pattern = getenv("K410_FAULT_FILE");
    if (pattern != nullptr && pattern[0] != '\0') {
        snprintf(file_pattern, sizeof file_pattern, "%s", pattern);
    }
    const char* device = getenv("K410_FAULT_DEVICE");
    struct stat info;
    if (device != nullptr && stat(device, &info) == 0 && S_ISCHR(info.st_mode)) {
        device_known = true;
        device_rdev = info.st_rdev;
    }
    const char* rules_text = getenv("K410_FAULT");
    if (rules_text != nullptr) {
        char copy[512];
        snprintf(copy, sizeof copy, "%s", rules_text);
        char* saved = nullptr;
        for (char* part = strtok_r(copy, ",", &saved); part != nullptr;
             part = strtok_r(nullptr, ",", &saved)) {
            ParseRule(part);
        }
    }
    unsetenv("LD_PRELOAD");
}

__attribute__((constructor)) void InitAtLoad() {
    Init();
}

__attribute__((destructor)) void ReportUses() {
    char line[128];
    for (int i = 0; i < counter_count; ++i) {
        // The precision tells optimizing compilers the name fits; it always does.
        snprintf(line, sizeof line, "uses %.*s %ld\n", static_cast<int>(sizeof counters[i].call),
                 counters[i].call, counters[i].uses);
        Log(line);
    }
}

long CountUse(const char* call) {
    for (int i = 0; i < counter_count; ++i) {
        if (strcmp(counters[i].call, call) == 0) {
            return ++counters[i].uses;
        }
    }
    if (counter_count == kMaxCalls) {
        return 0;
    }
    Counter& counter = counters[counter_count++];
    snprintf(counter.call, sizeof counter.call, "%s", call);
    counter.uses = 1;
    return 1;
}

// Counts a use of `call` and returns the rule that fires on it, if any.
const Rule* Use(const char* call) {
    Init();
    long use = CountUse(call);
    for (int i = 0; i < rule_count; ++i) {
        const Rule& rule = rules[i];
        if (strcmp(rule.call, call) == 0 &&
            (use == rule.nth || (rule.and_later && use > rule.nth))) {
            char line[128];
            snprintf(line, sizeof line, "inject %s #%ld %s\n", call, use, rule.action_name);
            Log(line);
            return &rule;
        }
    }
    return nullptr;
}

// True, with errno set, when `rule` makes its call fail.
bool Errs(const Rule* rule) {
    if (rule != nullptr && rule->action == ACTION_ERRNO) {
        errno = rule->error;
        return true;
    }
    return false;
}

// Counts a use of `call` when `concerned`; true, with errno set, when a rule makes it fail.
bool Fails(bool concerned, const char* call) {
    return Errs(concerned ? Use(call) : nullptr);
}

// Whether `found` (the result of a stat of it into `info`) is the serial device.
bool IsDeviceStat(int found, const struct stat& info) {
    Init();
    return device_known && found == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device_rdev;
}

bool IsDevice(int fd) {
    struct stat info;
    return fd >= 0 && IsDeviceStat(fstat(fd, &info), info);
}

bool IsDevicePath(const char* path) {
    struct stat info;
    return path != nullptr && IsDeviceStat(stat(path, &info), info);
}

bool IsDataFileName(const char* path) {
    Init();
    return path != nullptr && strstr(path, file_pattern) != nullptr;
}

// Whether `file`, or the stream whose descriptor `fd` is, is an open data file.
bool IsDataFile(FILE* file, int fd = -1) {
    for (FILE* known : data_files) {
        if (known != nullptr && (known == file || fileno(known) == fd)) {
            return true;
        }
    }
    return false;
}

// Puts `to` in the first slot of the open data files that holds `from`.
void ReplaceDataFile(FILE* from, FILE* to) {
    for (FILE*& slot : data_files) {
        if (slot == from) {
            slot = to;
            return;
        }
    }
}

// When the last call on the device returned, and when the last write on it began
// (CLOCK_MONOTONIC, the program's steady clock).
timespec last_device_return = {0, 0};
timespec last_write_start = {0, 0};

// A "sent" rule has fired: the driver reports every write sent at once.
bool reports_sent_at_once = false;

long long Microseconds(const timespec& moment) {
    return moment.tv_sec * 1000000LL + moment.tv_nsec / 1000;
}

void NoteDeviceReturn() {
    clock_gettime(CLOCK_MONOTONIC, &last_device_return);
}

// Logs "record " + the formatted text + a line feed.
__attribute__((format(printf, 1, 2))) void Record(const char* format, ...) {
    char line[128] = "record ";
    va_list args;
    va_start(args, format);
    vsnprintf(line + 7, sizeof line - 8, format, args);
    va_end(args);
    strcat(line, "\n");
    Log(line);
}

// A sleep that ends `length` from now, or at `length` itself on CLOCK_MONOTONIC (`absolute`).
void RecordSleep(const timespec& length, bool absolute) {
    timespec end = {0, 0};
    if (!absolute) {
        clock_gettime(CLOCK_MONOTONIC, &end);
    }
    long long end_us =
        (end.tv_sec + length.tv_sec) * 1000000LL + (end.tv_nsec + length.tv_nsec) / 1000;
    Record("sleep %lld %lld", end_us - Microseconds(last_device_return),
           end_us - Microseconds(last_write_start));
}

int OpenWith(const char* real_name, const char* path, int flags, mode_t mode) {
    if (Fails(IsDevicePath(path), "open")) {
        return -1;
    }
    return Next<int (*)(const char*, int, ...)>(real_name)(path, flags, mode);
}

mode_t ModeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// A read error on a stream as the C library itself marks one, so that ferror() reports it.
int FailStream(FILE* file) {
    file->_flags |= _IO_ERR_SEEN;
    return EOF;
}

}  // namespace

// open and open64, whose mode argument is there with O_CREAT or O_TMPFILE only.
#define OPEN(name)                                     \
    int name(const char* path, int flags, ...) {       \
        va_list args;                                  \
        va_start(args, flags);                         \
        const mode_t mode = ModeArgument(flags, args); \
        va_end(args);                                  \
        return OpenWith(#name, path, flags, mode);     \
    }

// posix_spawn and posix_spawnp, which return the error instead of setting errno.
#define SPAWN(name)                                                                           \
    int name(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,         \
             const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {   \
        return Fails(true, "spawn") ? errno                                                   \
                                    : REAL(name)(pid, path, actions, attributes, argv, envp); \
    }

extern "C" {

OPEN(open)
OPEN(open64)
SPAWN(posix_spawn)
SPAWN(posix_spawnp)

int __open_2(const char* path, int flags) {
    return OpenWith("open", path, flags, 0);
}

int __open64_2(const char* path, int flags) {
    return OpenWith("open64", path, flags, 0);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeArgument(flags, args);
    va_end(args);
    if (Fails((dir == AT_FDCWD || path[0] == '/') && IsDevicePath(path), "open")) {
        return -1;
    }
    return REAL(openat)(dir, path, flags, mode);
}

int flock(int fd, int operation) {
    return Fails(IsDevice(fd), "flock") ? -1 : REAL(flock)(fd, operation);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    auto real = REAL(ioctl);
    if (!IsDevice(fd)) {
        return real(fd, request, argument);
    }
    const char* call = request == TIOCOUTQ        ? "outq"
                       : request == TIOCEXCL      ? "excl"
                       : request == TIOCSERGETLSR ? "lsr"
                                                  : nullptr;
    const Rule* rule = call != nullptr ? Use(call) : nullptr;
    if (request == TIOCMBIS) {
        Record("mbis %d", *static_cast<int*>(argument));
    }
    const bool stall = rule != nullptr && rule->action == ACTION_STALL && request == TIOCOUTQ;
    const bool busy = rule != nullptr && rule->action == ACTION_BUSY && request == TIOCSERGETLSR;
    int result = 0;
    if (Errs(rule)) {
        result = -1;
    } else if (request == TIOCOUTQ && (stall || reports_sent_at_once)) {
        // stall: the line is stuck, a byte stays queued however long the program waits.
        *static_cast<int*>(argument) = stall ? 1 : 0;
    } else if (request == TIOCSERGETLSR && (busy || reports_sent_at_once)) {
        // busy: the driver answers, but its transmitter never reports empty.
        *static_cast<unsigned int*>(argument) = busy ? 0 : TIOCSER_TEMT;
    } else {
        result = real(fd, request, argument);
    }
    NoteDeviceReturn();
    return result;
}

int tcgetattr(int fd, struct termios* settings) {
    return Fails(IsDevice(fd), "tcgetattr") ? -1 : REAL(tcgetattr)(fd, settings);
}

int tcsetattr(int fd, int when, const struct termios* settings) {
    const Rule* rule = IsDevice(fd) ? Use("tcsetattr") : nullptr;
    if (Errs(rule)) {
        return -1;
    }
    // ignore: a driver that takes the request and silently keeps its own settings.
    return rule != nullptr && rule->action == ACTION_IGNORE ? 0
                                                            : REAL(tcsetattr)(fd, when, settings);
}

int tcflush(int fd, int queue) {
    const bool device = IsDevice(fd);
    if (device) {
        Record("tcflush %s", queue == TCIFLUSH ? "in" : queue == TCOFLUSH ? "out" : "both");
    }
    if (Fails(device, "tcflush")) {
        return -1;
    }
    const int result = REAL(tcflush)(fd, queue);
    if (device) {
        NoteDeviceReturn();
    }
    return result;
}

ssize_t write(int fd, const void* bytes, size_t count) {
    if (!IsDevice(fd)) {
        return REAL(write)(fd, bytes, count);
    }
    clock_gettime(CLOCK_MONOTONIC, &last_write_start);
    const Rule* rule = Use("write");
    if (Errs(rule)) {
        return -1;
    }
    reports_sent_at_once = reports_sent_at_once || (rule != nullptr && rule->action == ACTION_SENT);
    bool short_write = rule != nullptr && rule->action == ACTION_SHORT && count > 1;
    ssize_t written = REAL(write)(fd, bytes, short_write ? count / 2 : count);
    NoteDeviceReturn();
    if (written > 0) {
        Record("write %zd", written);
    }
    return written;
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    bool device = false;
    for (nfds_t i = 0; i < count; ++i) {
        device = device || IsDevice(fds[i].fd);
    }
    return Fails(device, "poll") ? -1 : REAL(poll)(fds, count, timeout);
}

int close(int fd) {
    const bool fails = Fails(IsDevice(fd), "close");
    const int error = errno;
    // As on Linux, the descriptor is gone even when close() reports an error.
    const int result = REAL(close)(fd);
    errno = fails ? error : errno;
    return fails ? -1 : result;
}

int nanosleep(const struct timespec* length, struct timespec* left) {
    RecordSleep(*length, false);
    return REAL(nanosleep)(length, left);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* length,
                    struct timespec* left) {
    RecordSleep(*length, clock == CLOCK_MONOTONIC && (flags & TIMER_ABSTIME) != 0);
    return REAL(clock_nanosleep)(clock, flags, length, left);
}

FILE* fopen(const char* path, const char* mode) {
    if (Fails(IsDataFileName(path), "fopen")) {
        return nullptr;
    }
    FILE* file = REAL(fopen)(path, mode);
    if (file != nullptr && IsDataFileName(path)) {
        ReplaceDataFile(nullptr, file);
    }
    return file;
}

FILE* fopen64(const char* path, const char* mode) {
    return fopen(path, mode);
}

int fclose(FILE* file) {
    ReplaceDataFile(file, nullptr);
    return REAL(fclose)(file);
}

int getc(FILE* file) {
    return Fails(IsDataFile(file), "fread") ? FailStream(file) : REAL(getc)(file);
}

int fgetc(FILE* file) {
    return Fails(IsDataFile(file), "fread") ? FailStream(file) : REAL(fgetc)(file);
}

size_t fread(void* buffer, size_t size, size_t count, FILE* file) {
    if (Fails(IsDataFile(file), "fread")) {
        FailStream(file);
        return 0;
    }
    return REAL(fread)(buffer, size, count, file);
}

ssize_t read(int fd, void* buffer, size_t count) {
    return Fails(IsDataFile(nullptr, fd), "fread") ? -1 : REAL(read)(fd, buffer, count);
}

}  // extern "C"
