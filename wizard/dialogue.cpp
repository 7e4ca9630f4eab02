#include "dialogue.h"

#include <istream>
#include <ostream>

std::string PortPath(int port_number) {
    return "\\\\.\\COM" + std::to_string(port_number);
}

int RunWizard(std::istream&, std::ostream&) {
    return RUN_FAILED;
}
