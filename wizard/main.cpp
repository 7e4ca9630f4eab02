// k410prog: reprograms a TALVEN 410 analyzer over its serial port. Command-line arguments are
// not used; everything variable is asked at the console.
#include <iostream>

#include "console.h"
#include "dialogue.h"
#include "interrupt.h"

int main() {
    CatchInterruptions();
    int status = RunWizard(std::cin, std::cout);
    KeepWindowUntilRead(std::cin, std::cout);
    return status;
}
