// What the technician is told when the run cannot have its port: the failure line, then why,
// and for a port that is not there, which ones are.
#pragma once

#include <iosfwd>
#include <string>

#include "port.h"

// " Error Opening \\.\COM<port_number> !\n", then the reason of the OpenPort that just failed;
// a port that is not there also lists the serial ports present.
void SayOpenFailed(std::ostream& out, int port_number);

// " Error Opening \\.\COM<port_number> !\n" for a port that another run of this program holds.
void SayHeldByAnotherRun(std::ostream& out, int port_number);

// The lines that follow " Error Opening ... !\n" for the port named `port_name` ("COM7"),
// failed for `reason` (a PortReason); `present` is consulted only for PORT_REASON_ABSENT,
// `system_message` (GetPortSystemMessage) only for PORT_REASON_NO_RESPONSE, which covers many
// errors that only the system's words tell apart.
std::string WhyOpenFailed(const std::string& port_name, int reason, const PortListing& present,
                          const std::string& system_message = std::string());

// " Error Writing \\.\COM<port_number> !\n", then the line that says why, from the reason and
// system message of the WritePort that just failed.
void SayWriteFailed(std::ostream& out, int port_number);

// The line that follows " Error Writing ... !\n" for the port named `port_name`, whose write
// failed for `reason` (PORT_REASON_GONE or PORT_REASON_STALLED), with the system's words for
// the error where there are some.
std::string WhyWriteFailed(const std::string& port_name, int reason,
                           const std::string& system_message);
