// Answers as the technician types them: one character a prompt, the rest of the line queued.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "console.h"

namespace {

std::string Rest(std::istream& in) {
    std::string rest;
    std::getline(in, rest, '\0');
    return rest;
}

// The next `count` answers read from `in`.
std::vector<int> Answers(std::istream& in, int count) {
    std::vector<int> answers;
    while (count-- > 0) {
        answers.push_back(ReadAnswer(in));
    }
    return answers;
}

TEST(ReadAnswer, TakesOneCharacterAndLeavesTheRestQueued) {
    std::istringstream in("yes\nn\n");
    EXPECT_EQ(Answers(in, 5), (std::vector<int>{'Y', 'E', 'S', 'N', kEndOfInput}));
}

TEST(ReadAnswer, SkipsBlanksAndEmptyLines) {
    std::istringstream in("\n\n  \t\r\n  c rest");
    EXPECT_EQ(ReadAnswer(in), 'C');
    EXPECT_EQ(Rest(in), " rest");
}

TEST(ReadAnswer, UpperCasesOnlyLetters) {
    std::istringstream in("a z A 1 ? \xe9");
    // A byte above 127 is an answer like any other, never mistaken for the end of input.
    EXPECT_EQ(Answers(in, 6), (std::vector<int>{'A', 'Z', 'A', '1', '?', 0xe9}));
}

TEST(ReadAnswer, EndOfInputAfterOnlyBlanks) {
    std::istringstream in(" \n\t\n");
    EXPECT_EQ(ReadAnswer(in), kEndOfInput);
    std::istringstream empty("");
    EXPECT_EQ(ReadAnswer(empty), kEndOfInput);
}

TEST(ReadPortNumber, AcceptsOneTo255AndLeavesTheLineQueued) {
    int port = 0;
    std::istringstream in("\n  3 y\n");
    ASSERT_TRUE(ReadPortNumber(in, &port));
    EXPECT_EQ(port, 3);
    EXPECT_EQ(ReadAnswer(in), 'Y');

    for (const char* text : {"1", "255", "+7", "007"}) {
        std::istringstream number(text);
        EXPECT_TRUE(ReadPortNumber(number, &port)) << text;
    }
    std::istringstream joined("12y");
    ASSERT_TRUE(ReadPortNumber(joined, &port));
    EXPECT_EQ(port, 12);
    EXPECT_EQ(Rest(joined), "y");
}

TEST(ReadPortNumber, RejectsWhatIsNotAPortNumber) {
    for (const char* text : {"0", "256", "-3", "Q", "", "  \n", "-", "+", "99999999999",
                             "-99999999999", "999999999999999999999999999999", "4294967299"}) {
        std::istringstream in(text);
        int port = -1;
        EXPECT_FALSE(ReadPortNumber(in, &port)) << '"' << text << '"';
        EXPECT_EQ(port, -1) << text;
    }
}

TEST(ShownOnTerminal, ControlBytesShowWithoutActing) {
    struct Case {
        std::string bytes;
        std::string shown;
    };
    const Case cases[] = {
        {"plain text, 0-9 ~", "plain text, 0-9 ~"},
        // The line's own layout stays.
        {"a\tb\r\n", "a\tb\r\n"},
        // A title, a cleared screen, the line-drawing character set, a bell.
        {"\033]0;title\007", "^[]0;title^G"},
        {"\033[2J\033[H", "^[[2J^[[H"},
        {"\033(0", "^[(0"},
        {std::string("\0\001\010\013\014\032\034\037", 8), "^@^A^H^K^L^Z^\\^_"},
        {"\177", "^?"},
        // C1 controls: CSI, OSC, and the ends of the range.
        {"\x9b"
         "31m \x9d \x80\x9f",
         "<9B>31m <9D> <80><9F>"},
        // Above the C1 range, bytes are the console's characters.
        {"\xa0\xe9\xff", "\xa0\xe9\xff"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShownOnTerminal(c.bytes.data(), c.bytes.size()), c.shown);
    }
}

}  // namespace
