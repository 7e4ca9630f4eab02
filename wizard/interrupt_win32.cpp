#include "interrupt.h"

void CatchInterruptions() {}
