// The demo's bootstrap loader: a stand-in for BSL.EXE that writes nothing into any analyzer.
// It checks what k410prog hands it (+mpvr, -c joined to a COM path, a firmware image that is
// in the current folder), proves the port is free by opening it exclusively with the program's
// own serial module, shows a short progress display while it pretends to write, and exits.
//
// Exit status: 0 when written; 2 for a bad command line, 3 for a missing image, 4 when the port
// cannot be opened. To rehearse the retry path, K410_BSL_STATUS gives the status to end
// with, as it does for the tests' stand-in loader: one number ("5"), or one per attempt
// ("5,5,0"; the last one repeats; attempts are counted in .bsl-demo-attempts in the current
// folder). K410_DEMO_BSL_MS sets how long the pretend write takes (default 1500 ms).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "com_names.h"
#include "port.h"

namespace {

const char kUsage[] =
    "usage: BSL.EXE +mpvr -c\\\\.\\COM<n> <image>.TXT   (demo loader; writes nothing)\n";

enum LoaderExit {
    LOADER_WRITTEN = 0,
    LOADER_BAD_COMMAND_LINE = 2,
    LOADER_NO_IMAGE = 3,
    LOADER_PORT_NOT_FREE = 4,
};

// A bare file name in the current folder: the loader is given no paths.
bool IsBareName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name != "." && name != "..";
}

int CheckCommandLine(int argc, char** argv, std::string* port_path, std::string* image) {
    if (argc != 4) {
        std::printf("BSL: expected 3 arguments, got %d\n%s", argc - 1, kUsage);
        return LOADER_BAD_COMMAND_LINE;
    }
    if (std::strcmp(argv[1], "+mpvr") != 0) {
        std::printf("BSL: first argument must be +mpvr, not \"%s\"\n%s", argv[1], kUsage);
        return LOADER_BAD_COMMAND_LINE;
    }
    if (std::strncmp(argv[2], "-c", 2) != 0 || ComPathNumber(argv[2] + 2) == 0) {
        std::printf("BSL: second argument must be -c joined to \\\\.\\COM<n>, not \"%s\"\n%s",
                    argv[2], kUsage);
        return LOADER_BAD_COMMAND_LINE;
    }
    *port_path = argv[2] + 2;
    *image = argv[3];
    if (!IsBareName(*image)) {
        std::printf("BSL: the image must be a bare file name, not \"%s\"\n%s", image->c_str(),
                    kUsage);
        return LOADER_BAD_COMMAND_LINE;
    }
    struct stat found {};
    if (stat(image->c_str(), &found) != 0 || !S_ISREG(found.st_mode)) {
        std::printf("BSL: image file not found in the current folder: %s\n", image->c_str());
        return LOADER_NO_IMAGE;
    }
    return LOADER_WRITTEN;
}

// The status this attempt ends with, as K410_BSL_STATUS asks.
int RequestedStatus() {
    const char* asked = std::getenv("K410_BSL_STATUS");
    if (asked == nullptr || *asked == '\0') {
        return LOADER_WRITTEN;
    }
    std::vector<int> statuses;
    for (const char* at = asked; *at != '\0';) {
        statuses.push_back(std::atoi(at));
        const char* comma = std::strchr(at, ',');
        at = comma == nullptr ? at + std::strlen(at) : comma + 1;
    }
    int attempt = 0;
    if (statuses.size() > 1) {
        std::FILE* counter = std::fopen(".bsl-demo-attempts", "r");
        if (counter != nullptr) {
            if (std::fscanf(counter, "%d", &attempt) != 1) {
                attempt = 0;
            }
            std::fclose(counter);
        }
        counter = std::fopen(".bsl-demo-attempts", "w");
        if (counter != nullptr) {
            std::fprintf(counter, "%d\n", attempt + 1);
            std::fclose(counter);
        }
    }
    size_t index = static_cast<size_t>(attempt) < statuses.size() ? static_cast<size_t>(attempt)
                                                                  : statuses.size() - 1;
    return statuses[index] & 0xff;
}

long WriteDurationMs() {
    const char* asked = std::getenv("K410_DEMO_BSL_MS");
    if (asked == nullptr || *asked == '\0') {
        return 1500;
    }
    long ms = std::atol(asked);
    return ms < 0 ? 0 : ms;
}

void SleepMs(long ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Pretends to write the image: a bar of 20 steps, redrawn in place on a terminal and drawn
// step by step otherwise. Stops halfway when the attempt is to fail.
void ShowProgress(const std::string& image, size_t bytes, bool fails) {
    const int steps = 20;
    long step_ms = WriteDurationMs() / steps;
    bool terminal = isatty(STDOUT_FILENO);
    std::printf("BSL: writing %s (%zu bytes)\n", image.c_str(), bytes);
    if (!terminal) {
        std::printf("BSL: [");
    }
    std::fflush(stdout);
    int last = fails ? steps / 2 : steps;
    for (int step = 1; step <= last; ++step) {
        SleepMs(step_ms);
        if (terminal) {
            std::printf("\rBSL: [%-*s] %3d%%", steps, std::string(step, '#').c_str(),
                        step * 100 / steps);
        } else {
            std::printf("#");
        }
        std::fflush(stdout);
    }
    if (!terminal) {
        std::printf("%*s] %d%%", steps - last, "", last * 100 / steps);
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("BSL: demo bootstrap loader (a stand-in: nothing is written to any analyzer)\n");
    std::string port_path;
    std::string image;
    int checked = CheckCommandLine(argc, argv, &port_path, &image);
    if (checked != LOADER_WRITTEN) {
        return checked;
    }
    std::ifstream image_file(image, std::ios::binary);
    std::string contents((std::istreambuf_iterator<char>(image_file)),
                         std::istreambuf_iterator<char>());

    if (OpenPort(port_path.c_str()) != PORT_OK) {
        std::printf(
            "BSL: cannot open %s exclusively: missing, or still held by another "
            "program\n",
            port_path.c_str());
        return LOADER_PORT_NOT_FREE;
    }
    std::printf("BSL: %s opened exclusively: the port is free\n", port_path.c_str());
    int status = RequestedStatus();
    ShowProgress(image, contents.size(), status != LOADER_WRITTEN);
    ClosePort();
    if (status != LOADER_WRITTEN) {
        std::printf("BSL: write failed (status %d, as K410_BSL_STATUS asks)\n", status);
        return status;
    }
    std::printf("BSL: verified; firmware %s written\n", image.c_str());
    return LOADER_WRITTEN;
}
