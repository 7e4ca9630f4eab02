// The firmware stage: runs the bootstrap loader BSL.EXE, which writes the firmware image that
// matches the analyzer's options, and takes the technician through the switch-off prompt.
#pragma once

#include <iosfwd>
#include <string>

#include "run.h"

// "K410" + the suffixes of the set options in the order M, HD, IV, Me + ".TXT".
std::string FirmwareImageName(const AnalyzerOptions& options);

// "BSL.EXE +mpvr -c" + port path + " " + image name.
std::string LoaderCommand(const std::string& port_path, const AnalyzerOptions& options);

// Runs `loader_command` in this console and waits for it. Returns 0 when the loader ran and
// exited with status 0; anything else (a nonzero status, a loader that could not be started,
// one killed by a signal) is nonzero. One implementation per platform.
int LaunchLoader(const std::string& loader_command);

// Runs the loader, and again for as long as it fails and the technician asks for a retry.
// Returns STAGE_DONE when the firmware was written, STAGE_FAILED when the technician went on
// without it, or STAGE_INPUT_ENDED.
StageEnd WriteFirmware(std::istream& in, std::ostream& out, const std::string& port_path,
                       const AnalyzerOptions& options);

// The switch-off prompt, asked until the technician answers C or Q. `firmware` is how
// WriteFirmware ended. Returns STAGE_DONE for C, STAGE_QUIT for Q, or STAGE_INPUT_ENDED.
StageEnd AskSwitchOff(std::istream& in, std::ostream& out, StageEnd firmware);
