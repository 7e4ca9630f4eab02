// Runs the built k410prog the way a technician's PC does, with the analyzer's end of the line on a
// pseudo-terminal published as COM3 in a scratch Wine prefix, a stand-in BSL.EXE and the data
// file in a scratch current folder, answers on standard input, and the fault interposer loaded
// into the program.
#pragma once

#include <termios.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// The data file that every download test sends: CRLF lines, a line longer than a piece, and a
// last line without a line feed.
std::string StandardDataFile();

// What reaches the analyzer when `file` is sent whole: each piece (up to and including a line
// feed, at most 255 bytes) less the line feed that ends it.
std::string WireBytes(const std::string& file);

// The first `pieces` pieces of `file` as they reach the analyzer.
std::string WireBytesOfPieces(const std::string& file, int pieces);

// The analyzer: the master side of a pseudo-terminal, read by a thread that keeps every byte.
// The slave stays open here too, so its settings can be read and outlive the program's opens.
struct Analyzer {
    int master = -1;
    int slave = -1;
    std::string slave_name;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::string received;
};

// Opens the pty, gives its slave distinctive read time-outs (VMIN 7, VTIME 3) that the program
// must leave as it found them, and starts reading. False when no pty could be had.
bool StartAnalyzer(Analyzer* analyzer);

// Stops reading (after a short grace for bytes still in flight) and closes the pty.
void StopAnalyzer(Analyzer* analyzer);

// What the analyzer has received, once it holds at least `expected` bytes or 2 s have passed
// (the bytes the program reported as sent may still be on their way to the reader thread).
std::string Received(Analyzer* analyzer, size_t expected);

// The slave's settings as they are now.
termios LineSettings(const Analyzer& analyzer);

// True while some process holds the line in exclusive mode (TIOCEXCL).
bool LineExclusive(const Analyzer& analyzer);

struct RunResult {
    std::string output;  // standard output
    std::string errors;  // standard error (sanitizer reports; the program itself never uses it)
    int status = -1;     // exit status; -1 when the program did not exit normally
    bool timed_out = false;
    double seconds = 0;
    std::string fault_log;  // the interposer's log: faults injected, uses of each call
};

// Runs k410prog in `folder` (its current folder, and the Wine prefix whose dosdevices/com3 links
// to the analyzer's line) with `answers` on standard input and the fault rules `faults` (may be
// empty). Kills the program and reports a time-out after `limit_seconds`.
RunResult RunProgram(const std::string& folder, const Analyzer& analyzer,
                     const std::string& answers, const std::string& faults,
                     double limit_seconds = 60);

// Helpers for the scratch folder.
std::string MakeScratchFolder();
void RemoveScratchFolder(const std::string& folder);
void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
// A shell script as the loader: records its arguments, one run per line, in bsl-args.txt, then
// runs `body` (for example "exit 0").
void WriteLoader(const std::string& folder, const std::string& body);
