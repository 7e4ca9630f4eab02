#include "loader.h"

std::string FirmwareImageName(const AnalyzerOptions&) { return ""; }
std::string LoaderCommand(const std::string&, const AnalyzerOptions&) { return ""; }
LoaderOutcome RunLoaderStage(std::istream&, std::ostream&, const std::string&,
                             const AnalyzerOptions&, bool*) {
    return LOADER_QUIT;
}
