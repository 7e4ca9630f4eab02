// Fuzz target: the console answers. Arbitrary bytes stand for what a technician (or a script
// feeding the program) types; the port number is read first, as the dialogue does, then answers
// until the input ends. Checked against a model written here from the rules of the dialogue:
// - the port number is read like "%d" and accepted only from 1 to 255, with nothing consumed
//   past its digits;
// - every answer consumes blanks and line ends, then exactly one other character, which comes
//   back upper-cased only when it is a to z;
// - the end of input is reported only when nothing but blanks is left;
// - nothing is read past the input (the stream reads the fuzzer's own buffer, bounded exactly).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <streambuf>

#include "console.h"

namespace {

// A stream buffer over the input bytes themselves, so that a read past their end is a read
// past the fuzzer's allocation, which AddressSanitizer reports.
struct InputBuffer : std::streambuf {
    InputBuffer(const uint8_t* data, size_t size) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }
    size_t Consumed() const { return static_cast<size_t>(gptr() - eback()); }
};

bool IsBlank(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The port number as the rules read it. Returns whether it is valid; sets `end` to where the
// digits end when there are any.
bool ModelPortNumber(const uint8_t* data, size_t size, int* number, size_t* end) {
    size_t i = 0;
    while (i < size && IsBlank(data[i])) {
        ++i;
    }
    bool negative = false;
    if (i < size && (data[i] == '+' || data[i] == '-')) {
        negative = data[i] == '-';
        ++i;
    }
    if (i == size || !IsDigit(data[i])) {
        return false;
    }
    size_t first_digit = i;
    while (i < size && IsDigit(data[i])) {
        ++i;
    }
    *end = i;
    // Leading zeros are allowed ("003" is 3); more than three significant digits never fit.
    while (first_digit < i - 1 && data[first_digit] == '0') {
        ++first_digit;
    }
    if (negative || i - first_digit > 3) {
        return false;
    }
    int value = 0;
    for (size_t k = first_digit; k < i; ++k) {
        value = value * 10 + (data[k] - '0');
    }
    *number = value;
    return value >= 1 && value <= 255;
}

// Answers from `from` to the end of the input, each checked against the rules.
void CheckAnswers(std::istream& in, const InputBuffer& buffer, const uint8_t* data, size_t size) {
    for (;;) {
        size_t before = buffer.Consumed();
        int answer = ReadAnswer(in);
        size_t after = buffer.Consumed();
        Check(after >= before && after <= size);
        if (answer == kEndOfInput) {
            for (size_t i = before; i < size; ++i) {
                Check(IsBlank(data[i]));
            }
            return;
        }
        // Blanks, then the one character taken.
        Check(after > before);
        for (size_t i = before; i < after - 1; ++i) {
            Check(IsBlank(data[i]));
        }
        uint8_t taken = data[after - 1];
        Check(!IsBlank(taken));
        int expected = taken >= 'a' && taken <= 'z' ? taken - 'a' + 'A' : taken;
        Check(answer == expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The dialogue's order: the port number, then the answers.
    {
        InputBuffer buffer(data, size);
        std::istream in(&buffer);
        int number = -1;
        bool valid = ReadPortNumber(in, &number);
        int model_number = -1;
        size_t digits_end = 0;
        bool model_valid = ModelPortNumber(data, size, &model_number, &digits_end);
        Check(valid == model_valid);
        if (valid) {
            Check(number >= 1 && number <= 255);
            Check(number == model_number);
            // The rest of the line stays queued for the questions.
            Check(buffer.Consumed() == digits_end);
            CheckAnswers(in, buffer, data, size);
        }
    }
    // Answers alone, from the first byte: every prompt of the run reads this way.
    {
        InputBuffer buffer(data, size);
        std::istream in(&buffer);
        CheckAnswers(in, buffer, data, size);
    }
    return 0;
}
