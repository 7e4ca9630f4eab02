// The firmware stage: runs the bootstrap loader BSL.EXE, which writes the firmware image that
// matches the analyzer's options, and takes the technician through the switch-off prompt.
#pragma once

#include <iosfwd>
#include <string>

#include "dialogue.h"

// "K410" + the suffixes of the set options in the order M, HD, IV, Me + ".TXT".
std::string FirmwareImageName(const AnalyzerOptions& options);

// "BSL.EXE +mpvr -c" + port path + " " + image name.
std::string LoaderCommand(const std::string& port_path, const AnalyzerOptions& options);

// Runs `loader_command` in this console and waits for it. Returns 0 when the loader ran and
// exited with status 0; anything else (a nonzero status, a loader that could not be started,
// one killed by a signal) is nonzero. One implementation per platform.
int LaunchLoader(const std::string& loader_command);

// How the firmware stage leaves the run.
enum LoaderOutcome {
    LOADER_GO_ON,        // C at the switch-off prompt: on to the download
    LOADER_QUIT,         // Q at the switch-off prompt
    LOADER_END_OF_INPUT  // input ended at one of the stage's prompts
};

// Runs the firmware stage. `firmware_written` tells whether the loader's last run succeeded.
LoaderOutcome RunLoaderStage(std::istream& in, std::ostream& out, const std::string& port_path,
                             const AnalyzerOptions& options, bool* firmware_written);
