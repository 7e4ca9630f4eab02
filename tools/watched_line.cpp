#include "watched_line.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "com_names_posix.h"

namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

int MakeFolder(const std::string& path, std::string* error) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
        return 0;
    }
    *error = SystemError("cannot create " + path);
    return -1;
}

}  // namespace

std::string MakeScratchFolder(const char* stem) {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/" + stem + ".XXXXXX";
    return mkdtemp(&name[0]) == nullptr ? "" : name;
}

int PublishComLink(const std::string& prefix, int port_number, const std::string& slave_name,
                   std::string* error) {
    if (MakeFolder(prefix, error) != 0 || MakeFolder(prefix + "/dosdevices", error) != 0) {
        return -1;
    }
    std::string link_path = ComLinkIn(prefix + "/dosdevices", port_number);
    struct stat found {};
    if (lstat(link_path.c_str(), &found) == 0) {
        if (!S_ISLNK(found.st_mode)) {
            *error = link_path + " exists and is not a link; not replacing it";
            return -1;
        }
        unlink(link_path.c_str());
    }
    if (symlink(slave_name.c_str(), link_path.c_str()) != 0) {
        *error = SystemError("cannot link " + link_path);
        return -1;
    }
    return 0;
}

OpenWatch::OpenWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

OpenWatch::~OpenWatch() {
    close(fd_);  // -1 when it could not be made: EBADF
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
    char name[128] = {};
    if (openpty(&line->master, &line->slave, name, nullptr, nullptr) != 0) {
        *error = SystemError("cannot open a pseudo-terminal");
        return -1;
    }
    line->slave_name = name;
    fcntl(line->master, F_SETFD, FD_CLOEXEC);
    fcntl(line->slave, F_SETFD, FD_CLOEXEC);
    termios settings{};
    tcgetattr(line->slave, &settings);
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetspeed(&settings, B9600);
    if (tcsetattr(line->slave, TCSANOW, &settings) != 0) {
        *error = SystemError("cannot set the line to 9600 8N1 raw");
        return -1;
    }
    int packet_mode = 1;
    ioctl(line->master, TIOCPKT, &packet_mode);
    if (!line->watch.Watch(line->slave_name)) {
        *error = SystemError("cannot watch " + line->slave_name);
        return -1;
    }
    line->scratch_prefix = prefix.empty();
    line->prefix = line->scratch_prefix ? MakeScratchFolder("k410sim-prefix") : prefix;
    if (line->prefix.empty()) {
        *error = SystemError("cannot create a scratch prefix");
        return -1;
    }
    line->link_path = ComLinkIn(line->prefix + "/dosdevices", port_number);
    return PublishComLink(line->prefix, port_number, line->slave_name, error);
}

void WithdrawWatchedLine(const WatchedLine& line, bool prefix_too) {
    // Another analyzer may have taken the name since.
    char target[4096];
    const ssize_t length = readlink(line.link_path.c_str(), target, sizeof target);
    if (length >= 0 && std::string(target, static_cast<size_t>(length)) == line.slave_name) {
        unlink(line.link_path.c_str());
    }
    if (prefix_too || line.scratch_prefix) {
        rmdir((line.prefix + "/dosdevices").c_str());
        rmdir(line.prefix.c_str());
    }
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
