// Reading the virtual analyzer's log and summary line.
#pragma once

#include <cstdlib>
#include <string>

namespace toolstest {

// The line of `text` that starts with `head`, or "".
inline std::string LineStartingWith(const std::string& text, const std::string& head) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(at, head.size(), head) == 0) {
            return text.substr(at, end - at);
        }
        at = end + 1;
    }
    return "";
}

// The number just before `word` in `text` ("36 lines" gives 36 for " lines"), or -1.
inline int NumberBefore(const std::string& text, const std::string& word) {
    size_t at = text.find(word);
    if (at == std::string::npos || at == 0) {
        return -1;
    }
    size_t start = at;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') {
        --start;
    }
    if (start == at) {
        return -1;
    }
    return std::atoi(text.substr(start, at - start).c_str());
}

}  // namespace toolstest
