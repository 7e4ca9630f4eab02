// The demo loader: what it accepts from k410prog, how it proves the port free, and the
// statuses it ends with.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "running_sim.h"

namespace {

using namespace k410test;  // the shared test harness

const char kPort[] = "-c\\\\.\\COM3";

// A workspace with one firmware image and a virtual analyzer as COM3.
struct LoaderBench : RunningSim {
    LoaderBench() { WriteFile(scratch.path() + "/K410IV.TXT", "; synthetic test image\r\n"); }

    ProcessRun Run(const std::vector<std::string>& arguments, Environment environment = {}) {
        std::vector<std::string> argv = {DEMO_BSL_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        environment.push_back({"WINEPREFIX", prefix});
        environment.push_back({"K410_DEMO_BSL_MS", "0"});
        return RunProcess({argv, scratch.path(), "", environment, 10, true});
    }
};

TEST(DemoLoaderArguments, RefusesAnythingButTheLoaderCommandLine) {
    LoaderBench bench;
    ASSERT_TRUE(bench.Ready());
    struct Case {
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {{}, 2},
        {{"+mpvr", kPort}, 2},
        {{"+mpvr", kPort, "K410IV.TXT", "extra"}, 2},
        {{"-mpvr", kPort, "K410IV.TXT"}, 2},
        {{"+mpv", kPort, "K410IV.TXT"}, 2},
        {{"+mpvr", "-c", "K410IV.TXT"}, 2},
        {{"+mpvr", "-c \\\\.\\COM3", "K410IV.TXT"}, 2},  // nothing may stand between
        {{"+mpvr", "\\\\.\\COM3", "K410IV.TXT"}, 2},
        {{"+mpvr", "-cCOM3", "K410IV.TXT"}, 2},
        {{"+mpvr", "-c\\\\.\\COM0", "K410IV.TXT"}, 2},
        {{"+mpvr", "-c\\\\.\\COM256", "K410IV.TXT"}, 2},
        {{"+mpvr", "-c\\\\.\\COM03", "K410IV.TXT"}, 2},
        {{"+mpvr", "-c\\\\.\\COM3x", "K410IV.TXT"}, 2},
        {{"+mpvr", kPort, "./K410IV.TXT"}, 2},
        {{"+mpvr", kPort, "K410.TXT"}, 3},  // not in this folder
        {{"+mpvr", kPort, "k410iv.txt"}, 3},
    };
    for (const Case& c : cases) {
        ProcessRun run = bench.Run(c.arguments);
        EXPECT_EQ(run.status, c.status) << ::testing::PrintToString(c.arguments) << "\n"
                                        << run.output;
    }
    // None of them got as far as the port.
    EXPECT_FALSE(Contains(ReadFile(bench.scratch.path() + "/sim.log"), "port opened"));
}

TEST(DemoLoaderPort, WritesWhenThePortIsFreeAndRefusesWhenItIsHeldOrMissing) {
    LoaderBench bench;
    ASSERT_TRUE(bench.Ready());
    ProcessRun written = bench.Run({"+mpvr", kPort, "K410IV.TXT"});
    EXPECT_EQ(written.status, 0) << written.output;
    EXPECT_TRUE(Contains(written.output, "\\\\.\\COM3 opened exclusively"));
    EXPECT_TRUE(Contains(written.output, "100%")) << written.output;
    EXPECT_TRUE(Contains(written.output, "K410IV.TXT written"));

    // Held by a program that still has it locked, as k410prog would if it forgot to close it.
    int holder = open(bench.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ProcessRun held = bench.Run({"+mpvr", kPort, "K410IV.TXT"});
    EXPECT_EQ(held.status, 4) << held.output;
    EXPECT_TRUE(Contains(held.output, "cannot open \\\\.\\COM3")) << held.output;
    close(holder);

    ProcessRun missing = bench.Run({"+mpvr", "-c\\\\.\\COM9", "K410IV.TXT"});
    EXPECT_EQ(missing.status, 4) << missing.output;
}

TEST(DemoLoaderStatus, EndsWithTheStatusAskedForEachAttempt) {
    LoaderBench bench;
    ASSERT_TRUE(bench.Ready());
    ProcessRun failing = bench.Run({"+mpvr", kPort, "K410IV.TXT"}, {{"K410_BSL_STATUS", "5"}});
    EXPECT_EQ(failing.status, 5) << failing.output;
    EXPECT_TRUE(Contains(failing.output, "write failed"));

    // One status per attempt, the last repeating: the retry path a technician rehearses.
    std::vector<int> statuses;
    for (int attempt = 0; attempt < 4; ++attempt) {
        statuses.push_back(
            bench.Run({"+mpvr", kPort, "K410IV.TXT"}, {{"K410_BSL_STATUS", "7,3,0"}}).status);
    }
    EXPECT_EQ(statuses, (std::vector<int>{7, 3, 0, 0}));
}

}  // namespace
