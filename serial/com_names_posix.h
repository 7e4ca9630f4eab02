// Where COM<n> is on POSIX systems: the device Wine would use for it, so that this program and
// a loader run under Wine agree which device COM<n> is. Shared by the port and the listing.
#pragma once

#include <string>

// The folder of links that make devices COM ports, as Wine looks for it: the prefix's
// dosdevices folder when WINEPREFIX names a prefix, else ~/.wine/dosdevices.
struct ComLinkFolder {
    std::string path;   // empty when there is none to look in (no HOME)
    std::string shown;  // as the technician would type it
    // WINEPREFIX named it: its link for COM<n> is COM<n> even when missing. The technician's
    // setup then says COM<n> has no device, and falling back to a built-in serial port would
    // talk to the wrong line.
    bool binding = false;
};
ComLinkFolder ComLinkFolderInUse();

// The link for COM<n> in `folder` ("<folder>/com<n>").
std::string ComLinkIn(const std::string& folder, int number);

// True when `links` holds a link for COM<n>, even a dangling one.
bool ComLinkThere(const ComLinkFolder& links, int number);

// The device behind COM<n>: the link for COM<n> in the folder in use when it is there or the
// folder is binding, else /dev/ttyS<n-1>.
std::string ComDevicePath(int number);
