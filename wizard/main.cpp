// k410prog: reprograms a TALVEN 410 analyzer over its serial port. Command-line arguments are
// not used; everything variable is asked at the console.
#include <iostream>

#include "console.h"
#include "dialogue.h"
#include "interrupt.h"

int main() {
    CatchInterruptions();
    int status = RunWizard(std::cin, std::cout);
    // The run may have ended because an interruption took the port: the interruption ends it.
    WaitForInterruptionUnderWay();
    KeepWindowUntilRead(std::cin, std::cout);
    return status;
}
