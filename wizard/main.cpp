// k410prog: reprograms a TALVEN 410 analyzer over its serial port. Command-line arguments are
// not used; everything variable is asked at the console.
#include <iostream>

#include "dialogue.h"
#include "interrupt.h"

int main() {
    CatchInterruptions();
    return RunProgram(std::cin, std::cout);
}
