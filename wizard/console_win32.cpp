// The console helpers that depend on the platform, on Windows.
#include <windows.h>

#include <istream>
#include <ostream>
#include <string>

#include "console.h"

namespace {

// The window's title before the first ShowTitle, for RestoreTitle.
bool title_saved = false;
char saved_title[MAX_PATH];

}  // namespace

void ShowTitle(const std::string& title) {
    if (!title_saved) {
        // A title that cannot be read (no console window) is not put back; nor is one set then.
        saved_title[0] = '\0';
        SetLastError(0);
        if (GetConsoleTitleA(saved_title, sizeof(saved_title)) == 0 && GetLastError() != 0) {
            return;
        }
        title_saved = true;
    }
    SetConsoleTitleA(title.c_str());
}

void RestoreTitle() {
    if (!title_saved) {
        return;
    }
    title_saved = false;
    SetConsoleTitleA(saved_title);
}

void KeepWindowUntilRead(std::istream&, std::ostream&) {}
