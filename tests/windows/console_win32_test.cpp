// The console window's title during the download, on Windows: the calls to GetConsoleTitleA
// and SetConsoleTitleA seen through wrappers in the import table, so that the test does not
// depend on the window (Wine may have none) and leaves the real title alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"
#include "import_patch.h"

extern "C" {
extern void* __imp_GetConsoleTitleA;
extern void* __imp_SetConsoleTitleA;
}

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
    ImportPatch get(&__imp_GetConsoleTitleA, reinterpret_cast<void*>(&RecordingGetConsoleTitleA));
    ImportPatch set(&__imp_SetConsoleTitleA, reinterpret_cast<void*>(&RecordingSetConsoleTitleA));
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

}  // namespace
