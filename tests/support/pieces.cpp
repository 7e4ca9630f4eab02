#include "pieces.h"

namespace k410test {

namespace {

constexpr size_t kPieceMax = 255;

// Each piece of `file` as it reaches the analyzer: less the line feed that ends it.
std::vector<std::string> SentPieces(const std::string& file) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : file) {
        if (c == '\n') {
            pieces.push_back(piece);
            piece.clear();
            continue;
        }
        piece += c;
        if (piece.size() == kPieceMax) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (!piece.empty()) {
        pieces.push_back(piece);
    }
    return pieces;
}

}  // namespace

std::string WireBytes(const std::string& file) {
    return WireBytesOfPieces(file, SentPieces(file).size());
}

std::string WireBytesOfPieces(const std::string& file, size_t pieces) {
    std::string wire;
    std::vector<std::string> sent = SentPieces(file);
    for (size_t i = 0; i < pieces && i < sent.size(); ++i) {
        wire += sent[i];
    }
    return wire;
}

std::vector<size_t> PieceOffsets(const std::string& file) {
    std::vector<size_t> offsets;
    size_t offset = 0;
    for (const std::string& piece : SentPieces(file)) {
        offsets.push_back(offset);
        offset += piece.size();
    }
    return offsets;
}

}  // namespace k410test
