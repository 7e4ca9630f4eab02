#include "watched_line.h"

#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim_port.h"

OpenWatch::OpenWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

OpenWatch::~OpenWatch() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool OpenWatch::Watch(const std::string& path) {
    const int watch = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE);
    if (watch < 0) {
        return false;
    }
    paths_.resize(std::max(paths_.size(), static_cast<size_t>(watch) + 1));
    paths_[static_cast<size_t>(watch)] = path;
    return true;
}

void OpenWatch::Take(std::vector<Event>* events) {
    alignas(inotify_event) char buffer[4096];
    ssize_t count = 0;
    while ((count = read(fd_, buffer, sizeof buffer)) > 0) {
        for (char* at = buffer; at < buffer + count;) {
            const inotify_event* event = reinterpret_cast<const inotify_event*>(at);
            if ((event->mask & (IN_OPEN | IN_CLOSE)) != 0 && event->wd >= 0 &&
                static_cast<size_t>(event->wd) < paths_.size()) {
                events->push_back(
                    {paths_[static_cast<size_t>(event->wd)], (event->mask & IN_OPEN) != 0});
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
}

int OpenWatchedLine(const std::string& prefix, int port_number, WatchedLine* line,
                    std::string* error) {
    if (OpenAnalyzerLine(&line->master, &line->slave, &line->slave_name, error) != 0) {
        return -1;
    }
    int packet_mode = 1;
    ioctl(line->master, TIOCPKT, &packet_mode);
    if (!line->watch.Watch(line->slave_name)) {
        *error = "cannot watch " + line->slave_name + ": " + std::strerror(errno);
        return -1;
    }
    line->port_number = port_number;
    line->scratch_prefix = prefix.empty();
    line->prefix = line->scratch_prefix ? MakeScratchFolder("k410sim-prefix") : prefix;
    if (line->prefix.empty()) {
        *error = std::string("cannot create a scratch prefix: ") + std::strerror(errno);
        return -1;
    }
    return PublishComLink(line->prefix, port_number, line->slave_name, error);
}

void WithdrawWatchedLine(const WatchedLine& line, bool prefix_too) {
    WithdrawComLink(line.prefix, line.port_number, line.slave_name);
    if (prefix_too || line.scratch_prefix) {
        rmdir((line.prefix + "/dosdevices").c_str());
        rmdir(line.prefix.c_str());
    }
}

void CloseWatchedLine(WatchedLine* line) {
    close(line->master);
    close(line->slave);
}

bool EndExclusiveUse(const WatchedLine& line) {
    int exclusive = 0;
    if (ioctl(line.slave, TIOCGEXCL, &exclusive) == 0 && exclusive) {
        ioctl(line.slave, TIOCNXCL);
        return true;
    }
    return false;
}

int WaitingInput(const WatchedLine& line) {
    int waiting = 0;
    return ioctl(line.slave, FIONREAD, &waiting) == 0 ? waiting : 0;
}

int ReadPacket(const WatchedLine& line, LinePacket* packet) {
    char buffer[4097];
    ssize_t count = read(line.master, buffer, sizeof buffer);
    if (count <= 0) {
        return count < 0 && (errno == EINTR || errno == EAGAIN) ? 0 : -1;
    }
    const bool data = buffer[0] == TIOCPKT_DATA;
    packet->data.assign(data ? buffer + 1 : buffer, data ? static_cast<size_t>(count - 1) : 0);
    packet->input_purged = !data && (buffer[0] & TIOCPKT_FLUSHREAD) != 0;
    packet->output_purged = !data && (buffer[0] & TIOCPKT_FLUSHWRITE) != 0;
    return 1;
}
