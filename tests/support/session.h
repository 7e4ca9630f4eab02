// Test harness: a technician's session with the built program as a GoogleTest fixture: the
// analyzer on a pseudo-terminal published as COM3, a scratch current folder holding what a
// technician's folder holds (a stand-in loader, the nine firmware images, both data files,
// empty until a test puts its own), and the exact texts the program prints. The run tests use it as
// it is; the fault tests derive from it and add the fault interposer and their own checks.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "answers.h"
#include "files.h"
#include "pieces.h"
#include "program.h"
#include "pty.h"

namespace k410test {

// The program's own texts, as the technician sees them.
extern const char* const kBanner;  // through "Enter COM Port #>"
extern const char* const kInvalidResponse;
extern const char* const kQuestionsIntro;
extern const char* const kQuestion1;
extern const char* const kQuestion2;
extern const char* const kQuestion3;
extern const char* const kQuestion4;
// Before the switch-on prompt, when BSL.EXE is neither in the run's folder nor on PATH.
extern const char* const kLoaderMissing;
extern const char* const kSwitchOnPrompt;
extern const char* const kSwitchOnInfo;
extern const char* const kLaunching;
extern const char* const kLoaderFailed;
extern const char* const kSwitchOffPrompt;
extern const char* const kFirmwareComplete;
extern const char* const kDownloading;  // once the data file is open
extern const char* const kDownloadComplete;

// The nine firmware images and the answers (to questions 1 to 4, or 1 to 3 when the fourth is
// not asked, separated by blanks) that choose each.
struct ImageChoice {
    const char* answers;
    const char* image;
};
extern const std::vector<ImageChoice> kImageChoices;

// " Error <action> \\.\COM<port> !\n", the port's failure line: action "Opening", "Writing" or
// "Closing".
inline std::string PortError(const std::string& action, int port = 3) {
    return " Error " + action + " \\\\.\\COM" + std::to_string(port) + " !\n";
}

// The line after " Error Opening \\.\COM<port> !\n" that says why the port could not be had.
inline std::string InUseLine(int port = 3) {  // held by another program
    return " COM" + std::to_string(port) + " is in use by another program.\n";
}
inline std::string HeldByRunLine(int port = 3) {  // held by another run of k410prog
    return " COM" + std::to_string(port) + " is in use by another k410prog run.\n";
}
inline std::string NotSerialLine(int port = 3) {  // something that is no serial port
    return " COM" + std::to_string(port) + " is not a serial port.\n";
}
inline std::string RefusedLine(int port = 3) {  // the line settings refused
    return " COM" + std::to_string(port) + " refused the line settings 9600 8N1.\n";
}
// Not there; `present` lists the ports that are ("COM3, COM4"), or is empty.
std::string NotThereLine(int port, const std::string& present);

// `output` less its line naming the serial devices without a COM number: that line lists what
// the machine running the tests has in /dev (a real UART, an adapter), not what a test laid out.
std::string LessThisMachinesDevices(const std::string& output);

// `output` less the line after its " Error Writing \\.\COM<port> !\n" that says why, which has
// the form of the reasons after " Error Opening" (a blank, "COM<port> ", a full stop at its end);
// with a complaint added where that line is not there.
std::string LessWriteReason(const std::string& output, int port = 3);

// "Programming Help File: <name>\n", the download's first line, before the file is opened.
inline std::string HelpFileLine(const std::string& file_name) {
    return "Programming Help File: " + file_name + "\n";
}

// The download's failure lines for the data file.
inline std::string FileNotFound(const std::string& file_name) {
    return "File not found: " + file_name + "\n";
}
inline std::string FileReadError(const std::string& file_name) {
    return "File read error: " + file_name + "\n";
}

// Before the switch-on prompt, when the firmware image or the data file that the answers choose
// is not in the run's folder.
inline std::string ImageMissingLine(const std::string& image) {
    return " " + image + " is not in this folder: the firmware cannot be written.\n";
}
inline std::string DataFileMissingLine(const std::string& file_name) {
    return " " + file_name + " is not in this folder: the EEPROM data cannot be sent.\n";
}

// The transcript from the banner through the switch-on prompt, all four questions asked;
// `missing`: the lines about missing files, just before the prompt.
inline std::string UpToSwitchOn(const std::string& missing = std::string()) {
    return std::string(kBanner) + kQuestionsIntro + kQuestion1 + kQuestion2 + kQuestion3 +
           kQuestion4 + missing + kSwitchOnPrompt;
}

// "Programming Help File: ...", the echoed lines and "Programming Complete!".
inline std::string DownloadTranscript(const std::string& file_name, const std::string& echoed) {
    return HelpFileLine(file_name) + kDownloading + echoed + "\n" + kDownloadComplete;
}

// When the byte at `offset` of what the recorder received arrived.
LineRecorder::TimePoint ArrivalOf(const LineRecorder& recorder, size_t offset);

class Session : public ::testing::Test {
  protected:
    void SetUp() override;

    // Runs the program with `answers`; the analyzer's line is COM3.
    ProcessRun Run(const std::string& answers, const Environment& extra = {},
                   double limit_seconds = 60);
    // Runs the program with `answers` and expects exactly `output` and the exit `status`.
    ProcessRun RunExpecting(const std::string& answers, const std::string& output, int status,
                            const Environment& extra = {});
    // Runs the program as `command` says (its input, output and environment of its own); the
    // session's folder and environment are filled in as Run does.
    ProcessRun RunCommand(Command command);

    void PutDataFile(const std::string& name, const std::string& contents);
    // A firmware image (which the stand-in loader does not read) into the folder.
    void PutImage(const std::string& name);
    std::string Folder() const { return folder_.path(); }
    // The stand-in loader's runs, one list of arguments each.
    std::vector<std::vector<std::string>> LoaderRuns() const;
    // "free" or "held" per loader run: whether the port was free while it ran.
    std::string PortWhileLoading() const;

    // Gives the line time-outs of its own, which the program must leave as it found them.
    void SetDistinctiveTimeouts();
    void ExpectLineLeftConfigured();

    PtyLine line_;
    ScratchDir folder_;
    std::string prefix_;
    std::unique_ptr<LineRecorder> recorder_;
};

}  // namespace k410test
