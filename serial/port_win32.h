// What the Windows serial module's files share beyond port.h.
#pragma once

#include <windows.h>

#include "port.h"

// The PortReason for why CreateFileA failed on a device, by its last error. Windows reports a
// port that another program holds as access denied.
int ReasonForOpenError(DWORD error);
