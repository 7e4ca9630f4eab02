// Fuzz target: the download's piece splitter over arbitrary data files. Checked against the
// rules of the download:
// - a piece holds at most 255 bytes, is zero-terminated, and ends with a line feed unless it is
//   255 bytes long or the file's last;
// - the pieces, joined, are the file, in order, zero bytes included;
// - what is sent of a piece is all of it less a line feed that ends it, so what reaches the
//   analyzer is what the tests' own model of the rule says (tests/support/pieces.h): the file
//   less exactly the line feeds that ended pieces.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "data_file.h"
#include "pieces.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The file is the input itself, as the download holds it once read.
    const std::string contents(reinterpret_cast<const char*>(data), size);
    size_t offset = 0;

    std::string joined;
    std::string wire;
    // One byte more than a piece holds, filled with a marker, to see the terminator land where
    // it should and nothing beyond it.
    char piece[kPieceMax + 2];
    for (;;) {
        std::memset(piece, 0x5A, sizeof piece);
        int length = NextPiece(contents, &offset, piece);
        Check(length >= 0 && length <= kPieceMax);
        Check(piece[length] == '\0');
        Check(piece[kPieceMax + 1] == 0x5A);
        if (length == 0) {
            break;
        }
        joined.append(piece, static_cast<size_t>(length));
        bool last = joined.size() == size;
        bool ends_line = piece[length - 1] == '\n';
        // Only a line feed inside the piece ends it early; none hides before its end.
        Check(std::memchr(piece, '\n', static_cast<size_t>(length - 1)) == nullptr);
        Check(ends_line || length == kPieceMax || last);
        int sent = SentLength(piece, length);
        Check(sent == (ends_line ? length - 1 : length));
        wire.append(piece, static_cast<size_t>(sent));
        Check(joined.size() <= size && offset == joined.size());
    }
    Check(joined.size() == size && (size == 0 || std::memcmp(joined.data(), data, size) == 0));
    Check(wire == k410test::WireBytes(contents));
    return 0;
}
