#include "com_names.h"

#include <cctype>
#include <cstring>

int ComNumber(const char* name) {
    if (name == nullptr) {
        return 0;
    }
    static const char kCom[] = "COM";
    for (int i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != kCom[i]) {
            return 0;
        }
    }
    const char* digits = name + 3;
    const size_t length = std::strlen(digits);
    if (length < 1 || length > 3 || digits[0] == '0') {
        return 0;
    }
    int number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') {
            return 0;
        }
        number = number * 10 + (digits[i] - '0');
    }
    return number <= kComNumberMax ? number : 0;
}

int ComPathNumber(const char* path) {
    if (path == nullptr || std::strncmp(path, "\\\\.\\", 4) != 0) {
        return 0;
    }
    return ComNumber(path + 4);
}

std::string ComName(int number) {
    return "COM" + std::to_string(number);
}

std::string ComPath(int number) {
    return "\\\\.\\" + ComName(number);
}
