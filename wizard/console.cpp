#include "console.h"

#include <istream>
#include <ostream>

#include "com_names.h"
#include "interrupt.h"

namespace {

bool IsBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Skips blanks and line ends and returns the first other character without consuming it. At
// the end of input, an interruption on its way (a console read that Ctrl-C ended) is let end
// the run first.
int PeekPastBlanks(std::istream& in) {
    int c = in.peek();
    while (c != std::char_traits<char>::eof() && IsBlank(c)) {
        in.get();
        c = in.peek();
    }
    if (c == std::char_traits<char>::eof()) {
        WaitForInterruptionAtEndOfInput();
    }
    return c;
}

bool IsDigit(int c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int ReadAnswer(std::istream& in) {
    if (PeekPastBlanks(in) == std::char_traits<char>::eof()) {
        return kEndOfInput;
    }
    int c = in.get();
    if (c >= 'a' && c <= 'z') {
        c = c - 'a' + 'A';
    }
    // Non-ASCII bytes come back as themselves, never as negative values that could pass for
    // the end of input.
    return static_cast<unsigned char>(c);
}

bool ReadPortNumber(std::istream& in, int* port_number) {
    int c = PeekPastBlanks(in);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        in.get();
        c = in.peek();
    }
    if (!IsDigit(c)) {
        return false;
    }
    // Digits are consumed to their end even past the valid range, so that what stays queued
    // is what followed the number; a number too large for an int is simply out of range.
    long long value = 0;
    bool too_large = false;
    while (IsDigit(c)) {
        in.get();
        if (value <= 1000) {
            value = value * 10 + (c - '0');
        } else {
            too_large = true;
        }
        c = in.peek();
    }
    if (negative || too_large || value < 1 || value > kComNumberMax) {
        return false;
    }
    *port_number = static_cast<int>(value);
    return true;
}

void Say(std::ostream& out, const std::string& text) {
    out << text << std::flush;
}

std::string ReasonLine(const std::string& told, const std::string& system_message) {
    return " " + told + "." +
           (system_message.empty() ? "" : " The system says: " + system_message + ".") + "\n";
}

std::string ShownOnTerminal(const char* bytes, size_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F) || c >= 0xA0) {
            shown += static_cast<char>(c);
        } else if (c < 0x20) {
            shown += '^';
            shown += static_cast<char>(c + 0x40);
        } else if (c == 0x7F) {
            shown += "^?";
        } else {
            shown += '<';
            shown += kHex[c >> 4];
            shown += kHex[c & 0xF];
            shown += '>';
        }
    }
    return shown;
}
