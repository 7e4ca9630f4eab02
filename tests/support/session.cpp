#include "session.h"

#include <iostream>

namespace k410test {

// The version the build gives the program too: a new version breaks no transcript.
const char* const kBanner = "\nTALVEN FIRMWARE PROGRAM UTILITY\n       v" K410_VERSION
                            "  for  K410\n\n"
                            "Press Q to quit at anytime.\n\nEnter COM Port #>";
const char* const kInvalidResponse = " Invalid Response\n";
const char* const kQuestionsIntro =
    "\nThe following questions are for special analyzer configurations.\n"
    "The default answer to these questions is no.\n\n";
const char* const kQuestion1 =
    "The standard TALVEN 410 uses a 4-cell battery. The heavy-duty option is a 6-cell battery, "
    "and is required for units with permeation driers.\n"
    "Is your TALVEN equipped with the HEAVY DUTY battery option? (Y/N)>";
const char* const kQuestion2 =
    "Old TALVEN 410's, version A through E, have a modem option and no USB.\n"
    "Is your TALVEN 410 a version A through E? (Y/N)>";
const char* const kQuestion3 =
    "The velocity sensor, if equipped, can be located externally in the Permeation Drier, or "
    "internally in the analyzer.\n"
    "Does your TALVEN have an external Permeation Drier? (If you do not have a velocity sensor, "
    "answer NO) (Y/N)>";
const char* const kQuestion4 =
    "If your TALVEN has a Norwick NDIR bench, you can index the hydrocarbons channel to methane "
    "instead of propane.\n"
    "Do you want to enable the methane-mode option for the NDIR sensor? (Y/N)>";
const char* const kLoaderMissing =
    " BSL.EXE is not in this folder or on PATH: the firmware cannot be written.\n";
const char* const kSwitchOnPrompt =
    "\nYou must now turn on the programming switches.\n"
    "Press I for more info, S to skip, or C to continue>";
const char* const kSwitchOnInfo =
    "Open the battery compartment and locate 2 miniature slide switches to the right of the "
    "battery.\n"
    "The programming switches will enable the TALVEN's firmware to be reprogrammed.\n"
    "Slide all switches to the ON position.\n";
const char* const kLaunching = "Launching Bootstrap Loader Program...\n\n";
const char* const kLoaderFailed = "BSL Programming failed.\nRetry? (Y or N)>";
const char* const kSwitchOffPrompt =
    "Turn off the programming switches.\nWhen ready press C to continue>";
const char* const kFirmwareComplete = "Firmware Programming Complete!\n";
const char* const kDownloading = "Downloading EEPROM Data...\n";
const char* const kDownloadComplete = "Programming Complete!\n";

const std::vector<ImageChoice> kImageChoices = {
    {"N N Y", "K410.TXT"},    {"N N N N", "K410IV.TXT"}, {"N N N Y", "K410IVMe.TXT"},
    {"Y N Y", "K410HD.TXT"},  {"Y N N", "K410HDIV.TXT"}, {"N Y Y", "K410M.TXT"},
    {"N Y N", "K410MIV.TXT"}, {"Y Y Y", "K410MHD.TXT"},  {"Y Y N", "K410MHDIV.TXT"},
};

std::string NotThereLine(int port, const std::string& present) {
    const std::string name = "COM" + std::to_string(port);
    return present.empty() ? " There is no " + name + ", and no serial port is present.\n"
                           : " There is no " + name + ". Serial ports present: " + present + ".\n";
}

std::string LessThisMachinesDevices(const std::string& output) {
    const size_t start = output.find("\n Serial devices without a COM number: ");
    if (start == std::string::npos) {
        return output;
    }
    const size_t end = output.find('\n', start + 1);
    return output.substr(0, start + 1) +
           (end == std::string::npos ? std::string() : output.substr(end + 1));
}

std::string LessWriteReason(const std::string& output, int port) {
    const std::string failure = PortError("Writing", port);
    const size_t at = output.rfind(failure);
    if (at == std::string::npos) {
        return output;
    }
    const std::string why = output.substr(at + failure.size());
    const std::string name = " COM" + std::to_string(port) + " ";
    const bool one_reason_line = why.compare(0, name.size(), name) == 0 &&
                                 why.find('\n') == why.size() - 1 && why.size() > name.size() + 2 &&
                                 why[why.size() - 2] == '.';
    return one_reason_line ? output.substr(0, at + failure.size())
                           : output + "[not one reason line after the write error]";
}

LineRecorder::TimePoint ArrivalOf(const LineRecorder& recorder, size_t offset) {
    size_t end = 0;
    for (const LineRecorder::Chunk& chunk : recorder.Timeline()) {
        end += chunk.bytes.size();
        if (offset < end) {
            return chunk.at;
        }
    }
    return LineRecorder::TimePoint::max();
}

void Session::SetUp() {
    ASSERT_TRUE(line_.ok());
    ASSERT_FALSE(folder_.path().empty());
    prefix_ = WinePrefixFor(folder_.path());
    ASSERT_TRUE(PublishComPort(prefix_, 3, line_.slave_path()));
    PutStandInLoader(folder_.path());
    // Every file that some answers choose, so that no run misses one unless its test says so.
    for (const ImageChoice& choice : kImageChoices) {
        PutImage(choice.image);
    }
    PutDataFile("K410HELP(64K).TXT", "");
    PutDataFile("K410HELP(32K).TXT", "");
    recorder_ = std::make_unique<LineRecorder>(line_.master());
}

ProcessRun Session::Run(const std::string& answers, const Environment& extra,
                        double limit_seconds) {
    Command command;
    command.input = answers;
    command.environment = extra;
    command.limit_seconds = limit_seconds;
    return RunCommand(command);
}

ProcessRun Session::RunExpecting(const std::string& answers, const std::string& output, int status,
                                 const Environment& extra) {
    SCOPED_TRACE("answers: " + answers);
    ProcessRun run = Run(answers, extra);
    EXPECT_EQ(run.output, output);
    EXPECT_EQ(run.status, status);
    return run;
}

ProcessRun Session::RunCommand(Command command) {
    // The session's folder is also its runs' runtime folder, where the program keeps its lock
    // on COM3: runs of other tests beside this one have a COM3 of their own.
    Environment environment = {{"K410_BSL_TEST", "1"},
                               {"WINEPREFIX", prefix_},
                               {"XDG_RUNTIME_DIR", folder_.path()},
                               {"K410_BSL_RECORD", folder_.path() + "/loader-runs.txt"},
                               {"K410_BSL_PORTCHECK", folder_.path() + "/loader-port.txt"}};
    environment.insert(environment.end(), command.environment.begin(), command.environment.end());
    command.environment = environment;
    command.folder = folder_.path();
    ProcessRun run = RunProgram(command);
    EXPECT_FALSE(run.timed_out) << "the program did not end; it printed:\n" << run.output;
    return run;
}

void Session::PutDataFile(const std::string& name, const std::string& contents) {
    WriteFile(folder_.path() + "/" + name, contents);
}

void Session::PutImage(const std::string& name) {
    PutDataFile(name, "; stand-in firmware image\r\n");
}

std::vector<std::vector<std::string>> Session::LoaderRuns() const {
    return k410test::LoaderRuns(folder_.path() + "/loader-runs.txt");
}

std::string Session::PortWhileLoading() const {
    return ReadFile(folder_.path() + "/loader-port.txt");
}

void Session::SetDistinctiveTimeouts() {
    ASSERT_TRUE(k410test::SetDistinctiveTimeouts(line_));
}

void Session::ExpectLineLeftConfigured() {
    termios settings;
    ASSERT_TRUE(ReadLineSettings(line_, &settings));
    EXPECT_EQ(cfgetospeed(&settings), B9600);
    EXPECT_EQ(cfgetispeed(&settings), B9600);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    if (ProgramIsForeign()) {
        std::cout << "[   NOTE   ] read time-outs not checked: Wine sets VMIN/VTIME itself and "
                     "keeps no time-outs of a device between opens\n";
        return;
    }
    EXPECT_EQ(settings.c_cc[VMIN], 7);
    EXPECT_EQ(settings.c_cc[VTIME], 3);
}

}  // namespace k410test
