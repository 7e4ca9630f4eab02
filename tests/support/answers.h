// Test harness, header only for the tests of both platforms: the answers a technician types, by
// what they do, and checks on the texts the program prints that say what went wrong.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace k410test {

// Port 3 and the four questions answered no: up to the switch-on prompt.
inline const std::string kToSwitchOn = "3\nN\nN\nN\nN\n";
// Then Q: the run ends at the switch-on prompt.
inline const std::string kQuitAtSwitchOn = kToSwitchOn + "Q\n";
// Then S: straight to the download.
inline const std::string kSkipLoader = kToSwitchOn + "S\n";
// Then C: the loader runs; the input ends there.
inline const std::string kLoaderThenEnd = kToSwitchOn + "C\n";
// The loader runs, and Q at the switch-off prompt ends the run.
inline const std::string kLoaderThenQuit = kToSwitchOn + "C\nQ\n";
// The typical run: the loader at the first C, the download at the second.
inline const std::string kTypicalRun = kToSwitchOn + "C\nC\n";
// The loader fails, is retried once (Y), and the download follows.
inline const std::string kRetryOnceThenOn = kToSwitchOn + "C\nY\nC\n";
// The loader fails, is not retried, and Q at the switch-off prompt ends the run.
inline const std::string kLoaderFailsThenQuit = kToSwitchOn + "C\nN\nQ\n";

inline ::testing::AssertionResult StartsWith(const std::string& text, const std::string& start) {
    if (text.compare(0, start.size(), start) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the text does not start with the expected lines";
}

inline ::testing::AssertionResult EndsWith(const std::string& text, const std::string& end) {
    if (text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the text does not end with the expected lines";
}

inline ::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the text does not contain the expected lines";
}

}  // namespace k410test
