// The console helpers that depend on the platform, on POSIX systems.
#include <istream>
#include <ostream>

#include "console.h"

void KeepWindowUntilRead(std::istream&, std::ostream&) {}
