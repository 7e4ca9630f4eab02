// The console window on Windows, its calls seen through wrappers in the import table so that
// the tests depend on no window (Wine may have none) and leave the real one alone: its title
// during the download (GetConsoleTitleW, SetConsoleTitleW), and whether the program waits for
// Enter before its window closes (GetConsoleProcessList says 1 in a window of its own, 2 with a
// shell beside it, 0 with no console) and for which Enter.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "console.h"
#include "import_patch.h"

namespace {

std::vector<std::wstring> titles_set;
int title_reads = 0;

// A title the console's code page cannot hold ("Administrator: Command Prompt" in Russian, in a
// Western console): the A functions would give it back as question marks.
const wchar_t kBefore[] =
    L"\u0410\u0434\u043c\u0438\u043d\u0438\u0441\u0442\u0440\u0430\u0442\u043e\u0440: cmd";
DWORD WINAPI RecordingGetConsoleTitleW(LPWSTR title, DWORD size) {
    ++title_reads;
    lstrcpynW(title, kBefore, static_cast<int>(size));
    return lstrlenW(kBefore);
}

BOOL WINAPI RecordingSetConsoleTitleW(LPCWSTR title) {
    titles_set.push_back(title);
    return TRUE;
}

TEST(ConsoleTitle, ShownTitlesThenTheWindowsOwnBack) {
    ImportPatch get(&__imp_GetConsoleTitleW, &RecordingGetConsoleTitleW);
    ImportPatch set(&__imp_SetConsoleTitleW, &RecordingSetConsoleTitleW);
    RestoreTitle();  // nothing shown yet: nothing to put back
    EXPECT_TRUE(titles_set.empty());
    ShowTitle("k410prog: COM3 EEPROM data 0/2 lines, 0%");
    ShowTitle("k410prog: COM3 EEPROM data 1/2 lines, 50%, about 1 s left");
    RestoreTitle();
    RestoreTitle();
    EXPECT_EQ(title_reads, 1) << "the window's own title is read once, before the first change";
    EXPECT_EQ(titles_set,
              (std::vector<std::wstring>{
                  L"k410prog: COM3 EEPROM data 0/2 lines, 0%",
                  L"k410prog: COM3 EEPROM data 1/2 lines, 50%, about 1 s left", kBefore}));
}

// What was typed during the download waits in the console's input buffer, after what the C
// runtime has already read of the last answer's line; FlushConsoleInputBuffer discards it
// (Learn, FlushConsoleInputBuffer: all input records in the buffer are discarded).
std::string buffered;
BOOL WINAPI DiscardingFlushConsoleInputBuffer(HANDLE) {
    buffered.clear();
    return TRUE;
}

TEST(ConsoleWindow, WaitsForEnterOnlyInAWindowOfItsOwn) {
    struct Case {
        const char* what;
        DWORD processes;
        const char* input;  // the last answer's line, "C", as read; then what is typed after
        const char* said;
        const char* left;  // input not read
    };
    const Case cases[] = {
        {"started from Explorer", 1, "C\nnext line\nlater\n", "\nPress Enter to close this window.",
         "later\n"},
        {"started from Explorer, input ended", 1, "C", "\nPress Enter to close this window.", ""},
        {"started from cmd.exe", 2, "C\nnext line\n", "", "\n\r\nnext line\n"},
        {"no console", 0, "C\nnext line\n", "", "\n\r\nnext line\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        processes_on_the_console = c.processes;
        const std::string input = c.input;
        const size_t line_end = std::min(input.find('\n'), input.size() - 1) + 1;
        buffered = "\r\n";  // an Enter typed during the download, not yet read
        std::string later = input.substr(line_end);
        Keyboard console(input.substr(0, line_end), [&later] {
            return std::exchange(!buffered.empty() ? buffered : later, std::string());
        });
        std::istream in(&console);
        ASSERT_EQ(ReadAnswer(in), 'C');
        std::ostringstream out;
        {
            ImportPatch list(&__imp_GetConsoleProcessList, &CountingGetConsoleProcessList);
            ImportPatch flush(&__imp_FlushConsoleInputBuffer, &DiscardingFlushConsoleInputBuffer);
            KeepWindowUntilRead(in, out);
        }
        EXPECT_EQ(out.str(), c.said);
        in.clear();
        std::string left((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(left, c.left);
    }
}

}  // namespace
