#include "port.h"

int OpenPort(const char*) { return PORT_ERR_OPEN; }
int ClosePort() { return PORT_OK; }
int WritePort(const char*, int) { return PORT_ERR_WRITE; }
int ReadPort(char*, int) { return 0; }
int GetPortError() { return PORT_OK; }
