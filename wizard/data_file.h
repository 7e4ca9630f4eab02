// What the download sends and how fast: the data file, the pieces it is cut into, their time on
// the wire, and the title that shows the download's progress.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "run.h"

// The longest piece of the data file sent at once: the analyzer takes a line in pieces of at
// most this many bytes, a pause after each.
constexpr int kPieceMax = 255;

// The pause after each piece (after each line, for a line of at most kPieceMax bytes), in
// milliseconds.
constexpr int kLinePauseMs = 250;

// The analyzer's line: 9600 baud, and 10 bits on the wire for each byte (a start bit, 8 data
// bits, a stop bit).
constexpr int kLineBaud = 9600;
constexpr int kBitsPerByte = 10;

// How long `bytes` bytes take on the analyzer's line, rounded up to the microsecond: about
// 1.04 ms a byte, 266 ms for a piece of kPieceMax bytes. The pause after a piece ends no earlier
// than kLinePauseMs after its write began plus this, however early the driver reported it sent.
std::chrono::microseconds WireTime(int bytes);

// The data file for the analyzer's version, by its bare name (looked up in the current folder).
const char* DataFileName(const AnalyzerOptions& options);

// The data file as read whole before its first line goes out: the analyzer gets one version
// of the file even when it changes during the download, a read error is found before anything
// is sent, and the download knows from the start how much there is to send.
struct DataFile {
    std::string bytes;
    int lines = 0;  // line feeds, and one more for a last line without one
};

// How reading the data file ended.
enum DataFileResult {
    DATA_FILE_READ = 0,    // `data` holds the whole file
    DATA_FILE_NOT_FOUND,   // no such file, or it could not be opened
    DATA_FILE_READ_ERROR,  // not a regular file, larger than kDataFileMax, or a read failed
};

// The largest data file taken. The analyzer's files are EEPROM images of a few kilobytes; one
// of this size would already take hours at a line every 250 ms.
constexpr long kDataFileMax = 16L * 1024 * 1024;

// Reads the file `name` (looked up in the current folder) whole into `data`. Returns a
// DataFileResult.
int ReadDataFile(const char* name, DataFile* data);

// Copies the next piece of `data`, from `*offset` on, into `piece` (kPieceMax + 1 bytes): the
// bytes up to and including the next line feed, but at most kPieceMax of them, followed by a
// zero byte. Zero bytes are data like any other. Advances `*offset` past the piece and returns
// its length, 0 at the end of the data.
int NextPiece(const std::string& data, size_t* offset, char* piece);

// The bytes of a piece that go to the analyzer: all of them, less a line feed that ends it.
int SentLength(const char* piece, int length);

// The console window's title during the download: "k410prog: COM3 EEPROM data 1200/4096 lines,
// 29%, about 12 min left", from the lines sent of all and the seconds they took; the time left
// is left out before the first line and after the last.
std::string ProgressTitle(int port_number, int lines_sent, int lines_total, double seconds_so_far);
