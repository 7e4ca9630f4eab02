// The firmware stage through the built program: the loader's exact arguments, retries, and the
// switch-off prompt.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "session.h"

namespace k410test {
namespace {

const std::vector<std::string> kTypicalLoaderArguments = {"+mpvr", "-c\\\\.\\COM3", "K410IV.TXT"};

using Loader = Session;

TEST_F(Loader, ImageNameFollowsTheAnswers) {
    struct Case {
        const char* answers;  // questions 1 to 4 (or 1 to 3)
        const char* image;
    };
    const Case cases[] = {
        {"N N Y", "K410.TXT"},    {"N N N N", "K410IV.TXT"}, {"N N N Y", "K410IVMe.TXT"},
        {"Y N Y", "K410HD.TXT"},  {"Y N N", "K410HDIV.TXT"}, {"N Y Y", "K410M.TXT"},
        {"N Y N", "K410MIV.TXT"}, {"Y Y Y", "K410MHD.TXT"},  {"Y Y N", "K410MHDIV.TXT"},
    };
    for (const Case& c : cases) {
        ProcessRun run = Run(std::string("3\n") + c.answers + "\nC\nQ\n");
        EXPECT_EQ(run.status, 0) << c.answers;
    }
    auto runs = LoaderRuns();
    ASSERT_EQ(runs.size(), 9u);
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i], (std::vector<std::string>{"+mpvr", "-c\\\\.\\COM3", cases[i].image}))
            << cases[i].answers;
    }
}

TEST_F(Loader, RunsWithThePortFreeAndItsOutputBetweenTheWizardsLines) {
    ProcessRun run = Run("3\nN\nN\nN\nN\nC\nQ\n", {{"K410_BSL_SAY", "loader speaking"}});
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + "loader speaking\n" + kSwitchOffPrompt);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(LoaderRuns().size(), 1u);
    EXPECT_EQ(LoaderRuns()[0], kTypicalLoaderArguments);
    if (ProgramIsForeign()) {
        std::cout << "[   NOTE   ] port not checked free while loading: Wine ignores flock()\n";
    } else {
        EXPECT_EQ(PortWhileLoading(), "free\n");
    }
}

TEST_F(Loader, FailedLaunchesRetriedWithTheSameCommandLine) {
    ProcessRun run = Run("3\nN\nN\nN\nN\nC\nY\ny\nN\nC\nQ\n", {{"K410_BSL_STATUS", "1"}});
    // Not retried to success: the firmware was not written, so that is never claimed, and the
    // run ends as failed even though the technician quit normally.
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + kLoaderFailed + kLaunching + kLoaderFailed +
                              kLaunching + kLoaderFailed + kSwitchOffPrompt +
                              HelpFileLine("K410HELP(64K).TXT") +
                              FileNotFound("K410HELP(64K).TXT"));
    EXPECT_EQ(run.status, 1);
    auto runs = LoaderRuns();
    ASSERT_EQ(runs.size(), 3u);
    for (const auto& arguments : runs) {
        EXPECT_EQ(arguments, kTypicalLoaderArguments);
    }
}

TEST_F(Loader, RetriedToSuccess) {
    PutDataFile("K410HELP(64K).TXT", "");
    ProcessRun run = Run("3\nN\nN\nN\nN\nC\nY\nC\n", {{"K410_BSL_STATUS", "255,0"}});
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + kLoaderFailed + kLaunching +
                              kSwitchOffPrompt + kFirmwareComplete +
                              DownloadTranscript("K410HELP(64K).TXT", ""));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(LoaderRuns().size(), 2u);
}

TEST_F(Loader, QAtRetryCountsAsNoAndQAtSwitchOffEnds) {
    ProcessRun run = Run("3\nN\nN\nN\nN\nC\nQ\nX\nQ\n", {{"K410_BSL_STATUS", "2"}});
    EXPECT_EQ(run.output,
              UpToSwitchOn() + kLaunching + kLoaderFailed + kSwitchOffPrompt + kSwitchOffPrompt);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(recorder_->Bytes(), "");
}

TEST_F(Loader, MissingLoaderIsAFailedLaunch) {
    ASSERT_EQ(unlink((Folder() + "/BSL.EXE").c_str()), 0);
    ProcessRun run = Run("3\nN\nN\nN\nN\nC\nN\nQ\n");
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + kLoaderFailed + kSwitchOffPrompt);
    EXPECT_EQ(run.status, 1);
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
    ASSERT_TRUE(console.Send("3\nN\nN\nN\nN\nC\nQ\n"));
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
    ProcessRun run = Run("3\nN\nN\nN\nN\nC\n", {{"K410_BSL_STATUS", "1"}});
    EXPECT_EQ(run.output, UpToSwitchOn() + kLaunching + kLoaderFailed + "\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
}  // namespace k410test
