// COM port names, the one grammar the port module, the listing, the wizard and the demo loader
// share. Built for both platforms.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com_names.h"

namespace {

struct NameCase {
    const char* name;
    int number;  // 0: not a COM port's name
};

// The names Windows gives its ports and their near misses.
const std::vector<NameCase> kNames = {
    {"COM1", 1},   {"COM3", 3},    {"COM10", 10},  {"COM255", 255}, {"com3", 3},  {"Com12", 12},
    {"cOM7", 7},   {"COM", 0},     {"COM0", 0},    {"COM00", 0},    {"COM03", 0}, {"COM007", 0},
    {"COM256", 0}, {"COM999", 0},  {"COM1000", 0}, {"COM3x", 0},    {"COM 3", 0}, {"COM-3", 0},
    {"COM+3", 0},  {" COM3", 0},   {"COM3 ", 0},   {"CON3", 0},     {"LPT1", 0},  {"CO", 0},
    {"", 0},       {"COM\xb3", 0}, {"\xc3OM3", 0},
};

TEST(ComNames, NameGivesItsNumberByTheOneRule) {
    for (const NameCase& c : kNames) {
        EXPECT_EQ(ComNumber(c.name), c.number) << "[" << c.name << "]";
    }
    EXPECT_EQ(ComNumber(nullptr), 0);
}

TEST(ComNames, DevicePathGivesTheNumberOfTheNameItEndsIn) {
    for (const NameCase& c : kNames) {
        const std::string path = std::string("\\\\.\\") + c.name;
        EXPECT_EQ(ComPathNumber(path.c_str()), c.number) << "[" << path << "]";
    }
    // The prefix is exactly \\.\ and a bare name is no device path.
    for (const char* path : {"COM3", "\\\\.COM3", "\\\\?\\COM3", "//./COM3", "\\\\.\\\\COM3",
                             "-c\\\\.\\COM3", "/dev/ttyS2", ""}) {
        EXPECT_EQ(ComPathNumber(path), 0) << "[" << path << "]";
    }
    EXPECT_EQ(ComPathNumber(nullptr), 0);
}

TEST(ComNames, NamesAndPathsAreWrittenAsTheyAreRead) {
    for (int number = 1; number <= kComNumberMax; ++number) {
        ASSERT_EQ(ComNumber(ComName(number).c_str()), number);
        ASSERT_EQ(ComPathNumber(ComPath(number).c_str()), number);
        ASSERT_EQ(ComPath(number), "\\\\.\\" + ComName(number));
    }
    EXPECT_EQ(ComName(3), "COM3");
    EXPECT_EQ(ComPath(255), "\\\\.\\COM255");
    EXPECT_EQ(ComPathNumber("\\\\.\\COM03"), 0);
}

}  // namespace
