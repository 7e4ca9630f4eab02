// The console helpers that depend on the platform, on Windows.
#include <istream>
#include <ostream>

#include "console.h"

void KeepWindowUntilRead(std::istream&, std::ostream&) {}
