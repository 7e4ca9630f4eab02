#include "sim_port.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

int OpenAnalyzerLine(int* master_fd, int* slave_fd, std::string* slave_name, std::string* error) {
    char name[128] = {};
    if (openpty(master_fd, slave_fd, name, nullptr, nullptr) != 0) {
        *error = SystemError("cannot open a pseudo-terminal");
        return -1;
    }
    termios line{};
    tcgetattr(*slave_fd, &line);
    cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    if (tcsetattr(*slave_fd, TCSANOW, &line) != 0) {
        *error = SystemError("cannot set the line to 9600 8N1 raw");
        close(*master_fd);
        close(*slave_fd);
        return -1;
    }
    fcntl(*master_fd, F_SETFD, FD_CLOEXEC);
    fcntl(*slave_fd, F_SETFD, FD_CLOEXEC);
    *slave_name = name;
    return 0;
}

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

void WithdrawComLink(const std::string& prefix, int port_number, const std::string& slave_name) {
    const std::string link_path = ComLinkIn(prefix + "/dosdevices", port_number);
    std::vector<char> target(slave_name.size() + 2);
    ssize_t length = readlink(link_path.c_str(), target.data(), target.size());
    if (length >= 0 && static_cast<size_t>(length) == slave_name.size() &&
        std::memcmp(target.data(), slave_name.data(), slave_name.size()) == 0) {
        unlink(link_path.c_str());
    }
}
