// Test harness: a pseudo-terminal standing for the analyzer's end of the serial line.
//
// The program under test opens the slave side (directly by its path, or as COM<n> through a
// Wine-style prefix published in a scratch folder); the test plays the analyzer on the master
// side: it records what the program sends, with arrival times, and writes what the analyzer
// would answer.
//
// Typical use:
//
//     k410test::PtyLine line;                      // master + slave, slave held open
//     ASSERT_TRUE(line.ok());
//     k410test::ScratchDir prefix;                 // files.h; removed again at scope end
//     ASSERT_TRUE(k410test::PublishComPort(prefix.path(), 3, line.slave_path()));
//     k410test::ScopedEnv wine("WINEPREFIX", prefix.path());
//     k410test::LineRecorder recorder(line.master());
//     ... run the program on "\\.\COM3" ...
//     ASSERT_TRUE(recorder.WaitForBytes(5, std::chrono::seconds(3)));
//     EXPECT_EQ(recorder.Bytes(), "hello");
//     termios settings;
//     ASSERT_TRUE(k410test::ReadLineSettings(line, &settings));
//
// Every wait here is bounded; nothing in this harness can hang a test.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace k410test {

// Opens a pseudo-terminal pair, the slave not the caller's controlling terminal and both ends
// close-on-exec: a program started by the test must not keep the master open, or hanging up the
// line would not reach the program's end. `status_flags` (O_NONBLOCK, say) are added to both.
// False on failure, with the outputs untouched.
bool OpenPtyPair(int* master, int* slave, std::string* slave_path, int status_flags = 0);

// A pseudo-terminal pair. The slave starts with the system's default (cooked) settings, so a
// test can see that the program under test puts the line into raw mode itself; until it has,
// the slave echoes whatever the master sends back to the master.
// Limits of a pseudo-terminal as a serial line (Linux): it has no modem lines (TIOCMBIS fails
// with ENOTTY), no output queue (TIOCOUTQ is always 0, so nothing is ever waiting to drain),
// and it forces CS8, CREAD and no parity on every tcsetattr whatever was asked.
class PtyLine {
  public:
    // The harness keeps a slave descriptor of its own open for the pair's life: without one,
    // the master reads EIO / polls POLLHUP whenever the program has the slave closed (between
    // its two port sessions, say), and a reader would spin.
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // False when the pair could not be made; the other accessors are then meaningless.
    bool ok() const { return master_ >= 0; }
    // The analyzer's end: read what the program sent, write what the analyzer answers.
    int master() const { return master_; }
    // Path of the slave device (/dev/pts/N), the program's end of the line.
    const std::string& slave_path() const { return slave_path_; }
    // The harness's own slave descriptor, or -1 once hung up. Shares the terminal's
    // settings and queues with whatever the program opened.
    int held_slave() const { return held_slave_; }

    // Writes all of `bytes` to the master, as the analyzer sending them. False on error or
    // when they cannot all be written within `timeout`.
    bool Send(const std::string& bytes,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

    // Unplugs the line: closes the master and the held slave. The program's slave descriptor
    // is hung up by the kernel: its writes fail with EIO and its reads see end of file. Stop
    // any LineRecorder on this line first.
    void HangUp();

  private:
    int master_ = -1;
    int held_slave_ = -1;
    std::string slave_path_;
};

// Reads the line's current settings, as the program left them: through the held slave when
// there is one, else by opening the slave path for a moment. False on failure.
bool ReadLineSettings(const PtyLine& line, termios* settings);

// Gives the line read time-outs of its own (VMIN 7, VTIME 3), which a program that opens it
// must leave as it found them. False on failure.
bool SetDistinctiveTimeouts(const PtyLine& line);

// True while some process holds the line in exclusive mode (TIOCEXCL).
bool LineExclusive(const PtyLine& line);

// Publishes `device` as COM<number> in the Wine prefix `prefix` as the virtual analyzer does
// (PublishComLink of tools/watched_line.h): links <prefix>/dosdevices/com<number> to `device`,
// making the folders if needed and replacing an older link. False on failure.
bool PublishComPort(const std::string& prefix, int number, const std::string& device);

// For a Windows build under Wine (ProgramIsForeign): registers COM<number> in the prefix under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM as a serial driver registers its ports, or with
// `registered` false takes it back. Wine tells of a COM link added to dosdevices after it
// started only when the port is opened, so the program's listing, which opens no port, finds
// only registered ones. Runs Wine's reg through the first word of K410_PROGRAM. False on failure.
bool RegisterComPortWithWine(const std::string& prefix, int number, bool registered = true);

// Sets (or, with `value` null, removes) an environment variable for the object's life and
// puts the old value back afterwards.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value);
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool had_value_ = false;
    std::string old_value_;
};

// Records everything that arrives on a descriptor (normally a PtyLine's master) from a
// thread of its own, each chunk with its arrival time.
class LineRecorder {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    struct Chunk {
        TimePoint at;       // when read() returned it
        std::string bytes;  // never empty
    };

    // Starts recording at once.
    explicit LineRecorder(int fd);
    // Stops and joins.
    ~LineRecorder();
    LineRecorder(const LineRecorder&) = delete;
    LineRecorder& operator=(const LineRecorder&) = delete;

    // Stops recording and joins the thread (within about 50 ms). Safe to call twice.
    void Stop();

    // All bytes received so far, in order.
    std::string Bytes() const;
    // The chunks received so far, in order of arrival.
    std::vector<Chunk> Timeline() const;

    // Waits until at least `count` bytes have been received in all, or `timeout` passes.
    // True when they have.
    bool WaitForBytes(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until the bytes received contain `text`, or `timeout` passes. True when they do.
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout) const;

  private:
    void Run();

    int fd_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Chunk> chunks_;
    std::string bytes_;
    std::thread thread_;
};

}  // namespace k410test
