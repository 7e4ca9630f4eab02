// The analyzer's end of the line as k410sim and k410bench watch it: a pseudo-terminal published
// as COM<n> the way Wine does (a link dosdevices/com<n> in a prefix), its master in packet mode
// so that the program's purges show, its slave under inotify so that its opens and closes show.
#pragma once

#include <string>
#include <vector>

// Makes a folder `stem`.XXXXXX in $TMPDIR or /tmp. Returns its path, or "" with errno set.
std::string MakeScratchFolder(const char* stem);

// Links `prefix`/dosdevices/com<n> to `slave_name`, creating the folders, replacing a link
// (not anything else) left behind by an earlier run. Returns 0, or -1 with `error` set.
int PublishComLink(const std::string& prefix, int port_number, const std::string& slave_name,
                   std::string* error);

// Opens and closes of files, seen through inotify without waiting. inotify merges an event into
// a like one still unread, so two opens (or closes) of a file within the moment before they are
// read count once; programs and loaders taking turns on a port are never that close.
class OpenWatch {
  public:
    struct Event {
        std::string path;
        bool opened;  // else closed
    };
    OpenWatch();
    ~OpenWatch();
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    // False when `path` cannot be watched (errno tells why).
    bool Watch(const std::string& path);
    // Appends the opens and closes since the last call, in order.
    void Take(std::vector<Event>* events);
    int fd() const { return fd_; }  // readable when there is something to take

  private:
    int fd_;
    std::vector<std::string> paths_;  // by watch descriptor
};

struct WatchedLine {
    int master = -1;
    int slave = -1;
    std::string slave_name;
    OpenWatch watch;  // the slave's opens and closes
    std::string prefix;
    std::string link_path;        // prefix/dosdevices/com<n>
    bool scratch_prefix = false;  // made for the line
};

// Opens the line at 9600 baud, 8N1, raw, and publishes it as COM<port_number> in `prefix`, or
// in a scratch prefix "k410sim-prefix.XXXXXX" when it is "". Returns 0, or -1 with `error` set.
int OpenWatchedLine(const std::string& prefix, int port_number, WatchedLine* line,
                    std::string* error);

// Withdraws the line's COM port, and the prefix's folders where the line made them or with
// `prefix_too`. The line itself stays open until the process ends.
void WithdrawWatchedLine(const WatchedLine& line, bool prefix_too);

// A real port stops being exclusive when its last user closes it; a pseudo-terminal keeps the
// flag while its master lives, so it is dropped here. Returns true when it was set.
bool EndExclusiveUse(const WatchedLine& line);

// Bytes sent to the program that it has not read.
int WaitingInput(const WatchedLine& line);

// What the program did on its end, as one read of the master tells.
struct LinePacket {
    std::string data;            // bytes it sent
    bool input_purged = false;   // it purged its input, as it does right before each write
    bool output_purged = false;  // it purged its output
};

// Reads one packet. Returns 1, 0 when there was none to read (or the read was interrupted), or
// -1 when the master cannot be read because no one holds the slave.
int ReadPacket(const WatchedLine& line, LinePacket* packet);
