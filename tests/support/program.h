// Test harness: runs the built program the way a technician does, answers on standard input and
// the transcript read from standard output, in a scratch current folder that holds the data
// files and a stand-in BSL.EXE.
//
// The program under test is the native build unless K410_PROGRAM names another command line
// (words separated by blanks, e.g. "wine /path/to/k410prog.exe"); then K410_BSL_STANDIN names
// the stand-in loader to copy in, and K410_WINEPREFIX the (booted) Wine prefix in which the
// analyzer's line is published. Every wait is bounded: a program that does not end in time is
// killed and reported as timed out.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace k410test {

struct ProgramRun {
    std::string output;  // standard output; a Windows build's line ends (CRLF) turned into "\n"
    int status = -1;     // exit status; -1 when it did not exit normally
    bool timed_out = false;
    double seconds = 0;  // wall time of the run
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs the program in `folder` with `answers` on standard input (closed after them) and
// `environment` added to its own. Kills it after `limit_seconds`.
ProgramRun RunProgram(const std::string& folder, const std::string& answers,
                      const Environment& environment = {}, double limit_seconds = 60);

// True when the program under test is another command line than the native build (a Windows
// build under Wine), where some things cannot be shown: Wine ignores flock() and keeps no read
// time-outs of a device between its opens.
bool ProgramIsForeign();

// The Wine prefix in which the analyzer's line must be published for the program under test:
// K410_WINEPREFIX when set, else `scratch`.
std::string WinePrefixFor(const std::string& scratch);

// Puts a stand-in loader named BSL.EXE into `folder`. Each run of it appends its arguments to
// the file named by K410_BSL_RECORD, one a line and an empty line after them; prints
// K410_BSL_SAY when set; and exits with the status K410_BSL_STATUS names: a list separated by
// commas gives the status of each run in turn, the last one repeating (0 when unset).
// The native stand-in also appends "free" or "held" to the file named by K410_BSL_PORTCHECK:
// whether it could lock the device that its -c argument names.
void PutStandInLoader(const std::string& folder);

// The arguments of every run recorded by the stand-in loader, one vector per run.
std::vector<std::vector<std::string>> LoaderRuns(const std::string& record_path);

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);

}  // namespace k410test
