// The EEPROM data download: the data file that matches the analyzer's version goes to the
// analyzer line by line, with a pause of at least 250 ms after each line, counted from when the
// line is off the wire; a line longer than kPieceMax bytes goes in pieces, with the pause after
// each piece (data_file.h).
#pragma once

#include <iosfwd>

#include "run.h"

// Runs the download on COM<port_number> and returns the run's exit status.
int RunDownload(std::ostream& out, int port_number, const AnalyzerOptions& options);
