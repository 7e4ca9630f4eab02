// Test harness: what the analyzer should receive of a data file. The program sends it in
// pieces, each up to and including a line feed or 255 bytes long, and drops the line feed that
// ends a piece.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace k410test {

// What reaches the analyzer when `file` is sent whole.
std::string WireBytes(const std::string& file);

// What reaches the analyzer of the first `pieces` pieces of `file`.
std::string WireBytesOfPieces(const std::string& file, size_t pieces);

// Where each piece of `file` starts within WireBytes(file).
std::vector<size_t> PieceOffsets(const std::string& file);

}  // namespace k410test
