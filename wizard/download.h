// The EEPROM data download: the data file that matches the analyzer's version goes to the
// analyzer line by line, with a pause of at least 250 ms after each line.
#pragma once

#include <cstdio>
#include <iosfwd>
#include <string>

#include "run.h"

// The longest piece of the data file sent at once: the analyzer takes a line in pieces of at
// most this many bytes, a pause after each.
constexpr int kPieceMax = 255;

// The pause after each piece, in milliseconds.
constexpr int kLinePauseMs = 250;

// The data file for the analyzer's version, by its bare name (looked up in the current folder).
const char* HelpFileName(const AnalyzerOptions& options);

// Reads the next piece of `file` into `piece` (kPieceMax + 1 bytes): the bytes up to and
// including the next line feed, but at most kPieceMax of them. Zero bytes are data like any
// other. Returns the piece's length, 0 at the end of the file, or -1 on a read error.
int ReadPiece(std::FILE* file, char* piece);

// The bytes of a piece that go to the analyzer: all of them, less a line feed that ends it.
int SentLength(const char* piece, int length);

// Runs the download and returns the run's exit status.
int RunDownload(std::ostream& out, const std::string& port_path, const AnalyzerOptions& options);
