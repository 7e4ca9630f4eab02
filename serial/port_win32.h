// What the serial module offers beyond port.h on Windows: the conversion that the listing gives
// the device manager's names and the port its system messages, for the loader's launch and for
// tests to try on names of their own.
#pragma once

#include <windows.h>

#include <string>

#include "port.h"

// `text` in the console's output code page (the system's ANSI code page without a console), so
// that a device's name read with the W functions ("Serielles USB-Gerät") prints as it reads.
// Characters the code page lacks come out as '?'.
std::string ConsoleText(const wchar_t* text);
