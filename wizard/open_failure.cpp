#include "open_failure.h"

#include <ostream>

#include "com_names.h"
#include "console.h"

namespace {

// The names joined by ", ".
std::string Joined(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) {
        joined += (joined.empty() ? "" : ", ") + name;
    }
    return joined;
}

std::string NotThere(const std::string& port_name, const PortListing& present) {
    // A port that came or went between the failed open and the listing is not offered as an
    // alternative to itself.
    std::vector<std::string> others;
    for (const std::string& port : present.ports) {
        if (port != port_name && port.compare(0, port_name.size() + 1, port_name + " ") != 0) {
            others.push_back(port);
        }
    }
    std::string lines =
        others.empty()
            ? " There is no " + port_name + ", and no serial port is present.\n"
            : " There is no " + port_name + ". Serial ports present: " + Joined(others) + ".\n";
    if (!present.unnumbered.empty()) {
        lines += " Serial devices without a COM number: " + Joined(present.unnumbered) + "\n";
    }
    return lines;
}

}  // namespace

std::string WhyOpenFailed(const std::string& port_name, int reason, const PortListing& present,
                          const std::string& system_message) {
    switch (reason) {
        case PORT_REASON_IN_USE:
            return " " + port_name + " is in use by another program.\n";
        case PORT_REASON_ABSENT:
            return NotThere(port_name, present);
        case PORT_REASON_REFUSED:
            return " " + port_name + " refused the line settings 9600 8N1.\n";
        case PORT_REASON_DENIED:
            return " " + port_name + " may not be opened by this user.\n";
        case PORT_REASON_NO_RESPONSE:
            return ReasonLine(port_name +
                                  " is there but did not respond (a Bluetooth port out of range, "
                                  "or a device that is not working)",
                              system_message);
        default:
            return " " + port_name + " is not a serial port.\n";
    }
}

void SayOpenFailed(std::ostream& out, int port_number) {
    Say(out, " Error Opening " + ComPath(port_number) + " !\n");
    const int reason = GetPortReason();
    const std::string system_message = GetPortSystemMessage();
    // Only a port that is not there needs the ports that are.
    const PortListing present = reason == PORT_REASON_ABSENT ? ListPorts() : PortListing();
    Say(out, WhyOpenFailed(ComName(port_number), reason, present, system_message));
}

std::string WhyWriteFailed(const std::string& port_name, int reason,
                           const std::string& system_message) {
    switch (reason) {
        case PORT_REASON_GONE:
            return ReasonLine(
                port_name + " went away: the USB adapter was unplugged or stopped working",
                system_message);
        case PORT_REASON_STALLED:
            return ReasonLine(port_name +
                                  " stopped taking data: the line stalled (check the cable, and "
                                  "that the analyzer is on)",
                              system_message);
        default:
            return ReasonLine(port_name + " did not take the data", system_message);
    }
}

void SayWriteFailed(std::ostream& out, int port_number) {
    // Read before anything else calls the port module, which would change them.
    const int reason = GetPortReason();
    const std::string system_message = GetPortSystemMessage();
    Say(out, " Error Writing " + ComPath(port_number) + " !\n");
    Say(out, WhyWriteFailed(ComName(port_number), reason, system_message));
}

void SayHeldByAnotherRun(std::ostream& out, int port_number) {
    Say(out, " Error Opening " + ComPath(port_number) + " !\n");
    Say(out, " " + ComName(port_number) + " is in use by another k410prog run.\n");
}
