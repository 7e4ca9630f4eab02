#include "com_names_posix.h"

#include <stdlib.h>
#include <sys/stat.h>

ComLinkFolder ComLinkFolderInUse() {
    const char* prefix = getenv("WINEPREFIX");
    if (prefix != nullptr && prefix[0] != '\0') {
        const std::string folder = std::string(prefix) + "/dosdevices";
        return {folder, folder, true};
    }
    const char* home = getenv("HOME");
    const bool in_home = home != nullptr && home[0] != '\0';
    return {in_home ? std::string(home) + "/.wine/dosdevices" : "", "~/.wine/dosdevices", false};
}

std::string ComLinkIn(const std::string& folder, int number) {
    return folder + "/com" + std::to_string(number);
}

bool ComLinkThere(const ComLinkFolder& links, int number) {
    struct stat info;
    return !links.path.empty() && lstat(ComLinkIn(links.path, number).c_str(), &info) == 0;
}

std::string ComDevicePath(int number) {
    const ComLinkFolder links = ComLinkFolderInUse();
    if (links.binding || ComLinkThere(links, number)) {
        return ComLinkIn(links.path, number);
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}
