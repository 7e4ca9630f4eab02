// The firmware stage: runs the bootstrap loader BSL.EXE, which writes the firmware image that
// matches the analyzer's options, again for as long as the technician asks for a retry.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "run.h"

// The bootstrap loader's program, as the technician has it and the command line names it.
constexpr char kLoaderName[] = "BSL.EXE";

// "K410" + the suffixes of the set options in the order M, HD, IV, Me + ".TXT".
std::string FirmwareImageName(const AnalyzerOptions& options);

// The loader's words: "BSL.EXE", "+mpvr", "-c" + the port's device path (ComPath), the image
// name.
std::vector<std::string> LoaderCommand(int port_number, const AnalyzerOptions& options);

// Where the loader `name` is: in the current folder first, then in each folder on PATH, in
// order (a name with a folder in it is taken as it is). Returns the path to start it by (one
// in the current folder as .\BSL.EXE on Windows, ./BSL.EXE on POSIX systems), or an empty
// string when it is nowhere. LaunchLoader looks the loader up this way, and so does the check
// before the switch-on prompt. One implementation per platform.
std::string FindLoaderProgram(const std::string& name);

// Runs the loader `words` in this console and waits for it: the program its first word names,
// found by FindLoaderProgram, started directly (no command interpreter in between) with the
// words as its arguments (Windows: joined into one command line). Returns 0 when the
// loader ran and exited with status 0; anything else (a nonzero status, a loader that is
// nowhere or could not be started, one killed by a signal) is nonzero. When the loader could not
// be started at all, and `not_started` is given, it gets the line that says why for the
// technician (ReasonLine: what the error means for a loader, and the system's words for it);
// otherwise it is emptied: retrying will not help there, while a loader that ran may do better
// next time. One implementation per platform.
int LaunchLoader(const std::vector<std::string>& words, std::string* not_started = nullptr);

// Runs the loader, and again for as long as it fails and the technician asks for a retry.
// Returns STAGE_DONE when the firmware was written, STAGE_FAILED when the technician went on
// without it, or STAGE_INPUT_ENDED.
StageEnd WriteFirmware(std::istream& in, std::ostream& out, int port_number,
                       const AnalyzerOptions& options);
