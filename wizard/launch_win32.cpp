#include "loader.h"

int LaunchLoader(const std::string&) {
    return 1;
}
