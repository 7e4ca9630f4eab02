// k410prog: reprograms a TALVEN 410 analyzer over its serial port. Command-line arguments are
// not used; everything variable is asked at the console.
#include <iostream>

#include "dialogue.h"

int main() {
    return RunWizard(std::cin, std::cout);
}
