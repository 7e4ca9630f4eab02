// The firmware stage through the built program: the loader's exact arguments, retries, and the
// switch-off prompt.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "session.h"

namespace k410test {
namespace {

const std::vector<std::string> kTypicalLoaderArguments = {"+mpvr", "-c\\\\.\\COM3", "K410IV.TXT"};

using Loader = Session;

TEST_F(Loader, ImageNameFollowsTheAnswers) {
    for (const ImageChoice& choice : kImageChoices) {
        ProcessRun run = Run(std::string("3\n") + choice.answers + "\nC\nQ\n");
        EXPECT_EQ(run.status, 0) << choice.answers;
    }
    auto runs = LoaderRuns();
    ASSERT_EQ(runs.size(), 9u);
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i],
                  (std::vector<std::string>{"+mpvr", "-c\\\\.\\COM3", kImageChoices[i].image}))
            << kImageChoices[i].answers;
    }
}

TEST_F(Loader, RunsWithThePortFreeAndItsOutputBetweenTheWizardsLines) {
    RunExpecting(kLoaderThenQuit,
                 UpToSwitchOn() + kLaunching + "loader speaking\n" + kSwitchOffPrompt, 0,
                 {{"K410_BSL_SAY", "loader speaking"}});
    ASSERT_EQ(LoaderRuns().size(), 1u);
    EXPECT_EQ(LoaderRuns()[0], kTypicalLoaderArguments);
    if (ProgramIsForeign()) {
        std::cout << "[   NOTE   ] port not checked free while loading: Wine ignores flock()\n";
    } else {
        EXPECT_EQ(PortWhileLoading(), "free\n");
    }
}

TEST_F(Loader, FailedLaunchesRetriedWithTheSameCommandLine) {
    // Not retried to success: the firmware was not written, so that is never claimed, and the
    // run ends as failed even though the EEPROM data went out.
    RunExpecting(kToSwitchOn + "C\nY\ny\nN\nC\nQ\n",
                 UpToSwitchOn() + kLaunching + kLoaderFailed + kLaunching + kLoaderFailed +
                     kLaunching + kLoaderFailed + kSwitchOffPrompt +
                     DownloadTranscript("K410HELP(64K).TXT", ""),
                 1, {{"K410_BSL_STATUS", "1"}});
    auto runs = LoaderRuns();
    ASSERT_EQ(runs.size(), 3u);
    for (const auto& arguments : runs) {
        EXPECT_EQ(arguments, kTypicalLoaderArguments);
    }
}

TEST_F(Loader, RetriedToSuccess) {
    PutDataFile("K410HELP(64K).TXT", "");
    RunExpecting(kRetryOnceThenOn,
                 UpToSwitchOn() + kLaunching + kLoaderFailed + kLaunching + kSwitchOffPrompt +
                     kFirmwareComplete + DownloadTranscript("K410HELP(64K).TXT", ""),
                 0, {{"K410_BSL_STATUS", "255,0"}});
    EXPECT_EQ(LoaderRuns().size(), 2u);
}

TEST_F(Loader, QAtRetryCountsAsNoAndQAtSwitchOffEnds) {
    RunExpecting(kToSwitchOn + "C\nQ\nX\nQ\n",
                 UpToSwitchOn() + kLaunching + kLoaderFailed + kSwitchOffPrompt + kSwitchOffPrompt,
                 1, {{"K410_BSL_STATUS", "2"}});
    EXPECT_EQ(recorder_->Bytes(), "");
}

TEST_F(Loader, MissingLoaderIsToldBeforeTheSwitchOnPromptAndIsAFailedLaunch) {
    ASSERT_EQ(unlink((Folder() + "/BSL.EXE").c_str()), 0);
    RunExpecting(kLoaderFailsThenQuit,
                 UpToSwitchOn(kLoaderMissing) + kLaunching +
                     " BSL.EXE is not in this folder or on PATH.\n" + kLoaderFailed +
                     kSwitchOffPrompt,
                 1);
}

// The loader is looked up in the current folder, then on PATH; before the switch-on prompt too.
TEST_F(Loader, LoaderOnPathOnlyIsFoundAndRun) {
    const std::string bin = Folder() + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(rename((Folder() + "/BSL.EXE").c_str(), (bin + "/BSL.EXE").c_str()), 0);
    // Wine takes no PATH from Linux; it adds the folders of WINEPATH to its own.
    std::string windows_bin = "Z:" + bin;
    std::replace(windows_bin.begin(), windows_bin.end(), '/', '\\');
    const char* path = std::getenv("PATH");
    RunExpecting(kTypicalRun,
                 UpToSwitchOn() + kLaunching + kSwitchOffPrompt + kFirmwareComplete +
                     DownloadTranscript("K410HELP(64K).TXT", ""),
                 0,
                 {{"PATH", bin + ":" + (path != nullptr ? path : "/usr/bin:/bin")},
                  {"WINEPATH", windows_bin}});
    EXPECT_EQ(LoaderRuns().size(), 1u);
}

// No command interpreter in between: the program itself starts the loader, and the loader gets
// the command line as the program made it.
TEST_F(Loader, StartedByTheProgramItselfWithTheCommandLineWhole) {
    const std::string started = Folder() + "/loader-started.txt";
    ProcessRun run = Run(kLoaderThenQuit, {{"K410_BSL_STARTED", started}});
    EXPECT_EQ(run.status, 0);
    std::stringstream lines(ReadFile(started));
    std::string own_path;
    std::string parent;
    std::string command_line;
    std::getline(lines, own_path);
    std::getline(lines, parent);
    std::getline(lines, command_line);
    EXPECT_EQ(parent, ProgramIsForeign() ? "k410prog.exe" : "k410prog");
    EXPECT_EQ(command_line, "BSL.EXE +mpvr -c\\\\.\\COM3 K410IV.TXT");
}

TEST_F(Loader, TerminalSettingsTheLoaderChangedArePutBackForTheSwitchOffPrompt) {
    if (ProgramIsForeign()) {
        GTEST_SKIP() << "the stand-in that changes the terminal is the native one; a Windows "
                        "build's console modes are shown by the Windows tests";
    }
    // Standard input is a terminal; the loader leaves it raw and without echo.
    PtyLine console;
    ASSERT_TRUE(console.ok());
    const int input = open(console.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(input, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(input, &before), 0);
    ASSERT_TRUE(console.Send(kLoaderThenQuit));
    Command command;
    command.input_fd = input;
    command.environment = {{"K410_BSL_RAW_CONSOLE", Folder() + "/loader-left.txt"}};
    ProcessRun run = RunCommand(command);
    termios after{};
    ASSERT_EQ(tcgetattr(input, &after), 0);
    close(input);
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + kSwitchOffPrompt);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(Folder() + "/loader-left.txt"), "raw\n")
        << "the loader did not change the terminal";
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
}

TEST_F(Loader, EndOfInputAtRetryEndsTheRun) {
    RunExpecting(kLoaderThenEnd, UpToSwitchOn() + kLaunching + kLoaderFailed + "\n", 1,
                 {{"K410_BSL_STATUS", "1"}});
}

}  // namespace
}  // namespace k410test
