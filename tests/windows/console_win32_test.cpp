// The console window on Windows, its calls seen through wrappers in the import table so that
// the tests depend on no window (Wine may have none) and leave the real one alone: its title
// during the download (GetConsoleTitleA, SetConsoleTitleA), and whether the program waits for
// Enter before its window closes (GetConsoleProcessList says 1 in a window of its own, 2 with a
// shell beside it, 0 with no console).
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "console.h"
#include "import_patch.h"

namespace {

std::vector<std::string> titles_set;
int title_reads = 0;

DWORD WINAPI RecordingGetConsoleTitleA(LPSTR title, DWORD size) {
    ++title_reads;
    const char kBefore[] = "Command Prompt";
    lstrcpynA(title, kBefore, static_cast<int>(size));
    return sizeof(kBefore) - 1;
}

BOOL WINAPI RecordingSetConsoleTitleA(LPCSTR title) {
    titles_set.push_back(title);
    return TRUE;
}

TEST(ConsoleTitle, ShownTitlesThenTheWindowsOwnBack) {
    ImportPatch get(&__imp_GetConsoleTitleA, &RecordingGetConsoleTitleA);
    ImportPatch set(&__imp_SetConsoleTitleA, &RecordingSetConsoleTitleA);
    RestoreTitle();  // nothing shown yet: nothing to put back
    EXPECT_TRUE(titles_set.empty());
    ShowTitle("k410prog: COM3 EEPROM data 0/2 lines, 0%");
    ShowTitle("k410prog: COM3 EEPROM data 1/2 lines, 50%, about 1 s left");
    RestoreTitle();
    RestoreTitle();
    EXPECT_EQ(title_reads, 1) << "the window's own title is read once, before the first change";
    EXPECT_EQ(titles_set,
              (std::vector<std::string>{"k410prog: COM3 EEPROM data 0/2 lines, 0%",
                                        "k410prog: COM3 EEPROM data 1/2 lines, 50%, about 1 s left",
                                        "Command Prompt"}));
}

TEST(ConsoleWindow, WaitsForEnterOnlyInAWindowOfItsOwn) {
    struct Case {
        const char* what;
        DWORD processes;
        const char* input;  // after the last answer, "C"
        const char* said;
        const char* left;  // input not read
    };
    const Case cases[] = {
        {"started from Explorer", 1, "C\nnext line\nlater\n", "\nPress Enter to close this window.",
         "later\n"},
        {"started from Explorer, input ended", 1, "C", "\nPress Enter to close this window.", ""},
        {"started from cmd.exe", 2, "C\nnext line\n", "", "\nnext line\n"},
        {"no console", 0, "C\nnext line\n", "", "\nnext line\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        processes_on_the_console = c.processes;
        std::istringstream in(c.input);
        ASSERT_EQ(ReadAnswer(in), 'C');
        std::ostringstream out;
        {
            ImportPatch list(&__imp_GetConsoleProcessList, &CountingGetConsoleProcessList);
            KeepWindowUntilRead(in, out);
        }
        EXPECT_EQ(out.str(), c.said);
        in.clear();
        std::string left((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(left, c.left);
    }
}

}  // namespace
