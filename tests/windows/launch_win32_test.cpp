// LaunchLoader with the real command interpreter (cmd.exe, under Wine or on Windows) and the
// stand-in BSL.EXE, which records its arguments and exits with the status it is told. The
// tests run in the stand-in's folder, where cmd.exe finds BSL.EXE first.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "loader.h"

namespace {

const char kTypicalCommand[] = "BSL.EXE +mpvr -c\\\\.\\COM3 K410IV.TXT";

void SetVariable(const char* name, const std::string& value) {
    ASSERT_EQ(_putenv_s(name, value.c_str()), 0);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
        char path[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(folder, "bsl", 0, path), 0u);
        record_ = path;
        SetVariable("K410_BSL_RECORD", record_);
        SetVariable("K410_BSL_STATUS", "0");
        SetVariable("K410_BSL_SAY", "");
    }
    void TearDown() override { DeleteFileA(record_.c_str()); }
    std::string Recorded() const { return ReadWhole(record_); }
    std::string record_;
};

TEST_F(Loader, SuccessfulLoaderGetsTheCommandLineWordByWord) {
    EXPECT_EQ(LaunchLoader(kTypicalCommand), 0);
    EXPECT_EQ(Recorded(), "+mpvr\n-c\\\\.\\COM3\nK410IV.TXT\n\n");
}

TEST_F(Loader, AnyNonzeroExitStatusIsAFailure) {
    for (const char* status : {"1", "2", "3", "255", "-1", "256"}) {
        SCOPED_TRACE(status);
        SetVariable("K410_BSL_STATUS", status);
        EXPECT_NE(LaunchLoader(kTypicalCommand), 0);
    }
    // Each of them ran, with the same command line.
    std::string one_run = "+mpvr\n-c\\\\.\\COM3\nK410IV.TXT\n\n";
    std::string six_runs;
    for (int i = 0; i < 6; ++i) {
        six_runs += one_run;
    }
    EXPECT_EQ(Recorded(), six_runs);
}

TEST_F(Loader, RetriedLaunchRunsTheSameCommandAgain) {
    SetVariable("K410_BSL_STATUS", "1");
    EXPECT_NE(LaunchLoader("BSL.EXE +mpvr -c\\\\.\\COM12 K410HD.TXT"), 0);
    SetVariable("K410_BSL_STATUS", "0");
    EXPECT_EQ(LaunchLoader("BSL.EXE +mpvr -c\\\\.\\COM12 K410HD.TXT"), 0);
    EXPECT_EQ(Recorded(),
              "+mpvr\n-c\\\\.\\COM12\nK410HD.TXT\n\n+mpvr\n-c\\\\.\\COM12\nK410HD.TXT\n\n");
}

// The status cmd.exe hands back is the loader's of this run, not one left from an earlier run.
TEST_F(Loader, EachRunsOwnStatusComesBack) {
    SetVariable("K410_BSL_STATUS", "4,1,0");
    EXPECT_NE(LaunchLoader(kTypicalCommand), 0);
    EXPECT_NE(LaunchLoader(kTypicalCommand), 0);
    EXPECT_EQ(LaunchLoader(kTypicalCommand), 0);
    EXPECT_EQ(LaunchLoader(kTypicalCommand), 0);
}

TEST_F(Loader, LoaderThatIsNotThereIsAFailure) {
    EXPECT_NE(LaunchLoader("K410-NO-SUCH-LOADER.EXE +mpvr -c\\\\.\\COM3 K410.TXT"), 0);
    EXPECT_EQ(Recorded(), "");
}

// The loader shares the console: what the wizard printed before the launch must come out before
// the loader's own output, also when standard output is a pipe (fully buffered). This program
// is started again as the "wizard" with its output on a pipe.
TEST_F(Loader, WizardOutputBeforeTheLaunchComesOutBeforeTheLoaders) {
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    SetVariable("K410_LAUNCH_CHILD", "1");
    SetVariable("K410_BSL_SAY", "LOADER SPEAKING");
    const std::string command = std::string("\"\"") + self + "\"\"";
    std::FILE* child = _popen(command.c_str(), "rb");
    ASSERT_NE(child, nullptr);
    std::string output;
    char chunk[256];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), child)) > 0) {
        output.append(chunk, got);
    }
    const int status = _pclose(child);
    SetVariable("K410_LAUNCH_CHILD", "");
    EXPECT_EQ(status, 0) << output;
    const size_t wizard_at = output.find("Launching Bootstrap Loader Program...");
    const size_t loader_at = output.find("LOADER SPEAKING");
    ASSERT_NE(wizard_at, std::string::npos) << output;
    ASSERT_NE(loader_at, std::string::npos) << output;
    EXPECT_LT(wizard_at, loader_at) << output;
}

// The "wizard" of the test above: prints as the loader stage does, unflushed, then launches.
int RunAsWizard() {
    std::cout << "Launching Bootstrap Loader Program...\n\n";
    return LaunchLoader(kTypicalCommand);
}

}  // namespace

int main(int argc, char** argv) {
    // The system's own call: the C library's getenv is one MSVC warns about.
    char child[2];
    if (GetEnvironmentVariableA("K410_LAUNCH_CHILD", child, sizeof(child)) > 0) {
        return RunAsWizard();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
