// The loader's command line: the image name must match the analyzer's options exactly, or the
// analyzer gets the wrong firmware.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>

#include "com_names.h"
#include "files.h"
#include "loader.h"
#include "run.h"

namespace {

AnalyzerOptions Options(bool old_version, bool heavy_duty, bool internal_velocity, bool methane) {
    AnalyzerOptions options;
    options.old_version = old_version;
    options.heavy_duty_battery = heavy_duty;
    options.internal_velocity = internal_velocity;
    options.methane_mode = methane;
    return options;
}

TEST(FirmwareImageName, NineNamesInSuffixOrderMHdIvMe) {
    struct Case {
        bool old_version, heavy_duty, internal_velocity, methane;
        const char* name;
    };
    const Case cases[] = {
        {false, false, false, false, "K410.TXT"},   {false, false, true, false, "K410IV.TXT"},
        {false, false, true, true, "K410IVMe.TXT"}, {false, true, false, false, "K410HD.TXT"},
        {false, true, true, false, "K410HDIV.TXT"}, {true, false, false, false, "K410M.TXT"},
        {true, false, true, false, "K410MIV.TXT"},  {true, true, false, false, "K410MHD.TXT"},
        {true, true, true, false, "K410MHDIV.TXT"},
    };
    std::set<std::string> names;
    for (const Case& c : cases) {
        std::string name =
            FirmwareImageName(Options(c.old_version, c.heavy_duty, c.internal_velocity, c.methane));
        EXPECT_EQ(name, c.name);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 9u);
}

TEST(LoaderCommand, DevicePathJoinedToItsOptionTheImageLast) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(LoaderCommand(3, AnalyzerOptions()),
              (Words{"BSL.EXE", "+mpvr", "-c\\\\.\\COM3", "K410IV.TXT"}));
    EXPECT_EQ(LoaderCommand(12, Options(false, true, false, false)),
              (Words{"BSL.EXE", "+mpvr", "-c\\\\.\\COM12", "K410HD.TXT"}));
    EXPECT_EQ(LoaderCommand(1, Options(true, false, true, false)),
              (Words{"BSL.EXE", "+mpvr", "-c\\\\.\\COM1", "K410MIV.TXT"}));
    EXPECT_EQ(LoaderCommand(4, Options(false, false, true, true)),
              (Words{"BSL.EXE", "+mpvr", "-c\\\\.\\COM4", "K410IVMe.TXT"}));
    EXPECT_EQ(ComPath(255), "\\\\.\\COM255");
    EXPECT_EQ(ComPath(255).size(), 10u);
}

// The loader is where the technician was told to put it: the current folder first, then the
// folders on PATH in order; a file there that cannot be run is passed over.
TEST(FindLoaderProgram, CurrentFolderThenPathInOrder) {
    k410test::ScratchDir scratch;
    const std::string here = scratch.path() + "/here";
    const std::string first = scratch.path() + "/first";
    const std::string second = scratch.path() + "/second";
    for (const std::string& folder : {here, first, second}) {
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    }
    ASSERT_TRUE(k410test::WriteFile(first + "/BSL.EXE", "#!/bin/sh\n", true));
    ASSERT_TRUE(k410test::WriteFile(second + "/BSL.EXE", "#!/bin/sh\n", true));
    ASSERT_EQ(chdir(here.c_str()), 0);
    ASSERT_EQ(setenv("PATH", (scratch.path() + "/none:" + first + ":" + second).c_str(), 1), 0);
    EXPECT_EQ(FindLoaderProgram(kLoaderName), first + "/BSL.EXE");

    ASSERT_TRUE(k410test::WriteFile(here + "/BSL.EXE", "not to be run\n"));
    EXPECT_EQ(FindLoaderProgram(kLoaderName), first + "/BSL.EXE");
    ASSERT_EQ(chmod((here + "/BSL.EXE").c_str(), 0755), 0);
    EXPECT_EQ(FindLoaderProgram(kLoaderName), "./BSL.EXE");

    ASSERT_EQ(setenv("PATH", scratch.path().c_str(), 1), 0);
    ASSERT_EQ(unlink((here + "/BSL.EXE").c_str()), 0);
    EXPECT_EQ(FindLoaderProgram(kLoaderName), "");
}

}  // namespace
