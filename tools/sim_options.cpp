#include "sim_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

const char kUsage[] =
    "Usage: k410sim [options]\n"
    "A virtual TALVEN 410 analyzer on a pseudo-terminal, published as a Wine COM port.\n"
    "\n"
    "  -p, --port N             publish as COM<N> (1-255; default 3)\n"
    "  -P, --prefix DIR         link DIR/dosdevices/com<N> (default: a scratch folder that is\n"
    "                           printed and removed at exit); run k410prog with WINEPREFIX=DIR\n"
    "  -l, --log FILE           write the log to FILE instead of standard output\n"
    "  -c, --capture FILE       also write every received byte, as received, to FILE\n"
    "      --chatter MS         send a status line to the program every MS ms, as a real\n"
    "                           instrument does (default: off); the log then shows whether\n"
    "                           that stale input was discarded before each write\n"
    "      --stop-after-closes N  stop when the port has been closed N times and no one\n"
    "                           holds it\n"
    "      --stop-after-data    stop when the port is closed after data arrived\n"
    "      --gap MS             quiet time that ends a line with no CR or LF (default 50)\n"
    "      --min-pause MS       pauses between lines below this are flagged (default 250)\n"
    "      --tolerance MS       ... less this much for the timing's own error (default 1)\n"
    "  -h, --help               show this text\n"
    "\n"
    "Pauses count from when the line before was off the wire at 9600 baud (1.04 ms a byte\n"
    "from its start), however fast the pseudo-terminal handed it over.\n"
    "Stops on SIGINT or SIGTERM (or as asked above) and prints a one-line summary:\n"
    "lines, bytes, shortest and longest pause, pauses under the minimum.\n";

bool ParseNumber(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    errno = 0;
    double number = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high) {
        return false;
    }
    *value = number;
    return true;
}

}  // namespace

int ParseOptions(int argc, char** argv, SimOptions* options) {
    enum { kChatter = 256, kStopAfterCloses, kStopAfterData, kGap, kMinPause, kTolerance };
    static const option kLong[] = {
        {"port", required_argument, nullptr, 'p'},
        {"prefix", required_argument, nullptr, 'P'},
        {"log", required_argument, nullptr, 'l'},
        {"capture", required_argument, nullptr, 'c'},
        {"chatter", required_argument, nullptr, kChatter},
        {"stop-after-closes", required_argument, nullptr, kStopAfterCloses},
        {"stop-after-data", no_argument, nullptr, kStopAfterData},
        {"gap", required_argument, nullptr, kGap},
        {"min-pause", required_argument, nullptr, kMinPause},
        {"tolerance", required_argument, nullptr, kTolerance},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    // The options that take a number: where it goes and the range it may take.
    double port = options->port_number;
    double closes = options->stop_after_closes;
    const struct {
        int choice;
        double* value;
        double low, high;
    } kNumbers[] = {{'p', &port, 1, 255},
                    {kChatter, &options->chatter_ms, 0, 3600000},
                    {kStopAfterCloses, &closes, 1, 1000000},
                    {kGap, &options->lines.gap_ms, 1, 10000},
                    {kMinPause, &options->lines.min_pause_ms, 0, 3600000},
                    {kTolerance, &options->lines.tolerance_ms, 0, 1000}};
    int choice = 0;
    while ((choice = getopt_long(argc, argv, "p:P:l:c:h", kLong, nullptr)) != -1) {
        bool good = true;
        if (choice == 'P' || choice == 'l' || choice == 'c') {
            (choice == 'P'   ? options->prefix
             : choice == 'l' ? options->log_path
                             : options->capture_path) = optarg;
        } else if (choice == kStopAfterData) {
            options->stop_after_data = true;
        } else if (choice == 'h' || choice == '?') {
            std::fputs(kUsage, choice == 'h' ? stdout : stderr);
            return choice == 'h' ? 1 : 2;
        }
        for (const auto& number : kNumbers) {
            good = good && (number.choice != choice ||
                            ParseNumber(optarg, number.low, number.high, number.value));
        }
        if (!good || port != static_cast<int>(port)) {
            std::fprintf(stderr, "k410sim: bad value for option %s: %s\n", argv[optind - 1],
                         optarg);
            return 2;
        }
    }
    options->port_number = static_cast<int>(port);
    options->stop_after_closes = static_cast<int>(closes);
    if (optind != argc) {
        std::fprintf(stderr, "k410sim: unexpected argument: %s\n%s", argv[optind], kUsage);
        return 2;
    }
    return 0;
}
