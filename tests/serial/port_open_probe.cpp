// A second program taking the port: opens the device named by its argument, closes it again
// when that worked, and exits with OpenPort's result code.
#include "port.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        return 100;
    }
    int result = OpenPort(argv[1]);
    if (result == PORT_OK) {
        ClosePort();
    }
    return result;
}
