#include "text/terminal_columns.h"

#include <cstdint>
#include <vector>

#include "platform/char_width.h"
#include "text/path_text.h"

namespace {

uint32_t CodePoint(std::string_view sequence) {
  const auto b = [&](std::size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(sequence[i]));
  };
  switch (sequence.size()) {
    case 1: return b(0);
    case 2: return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    case 3: return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    default: return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
  }
}

struct Piece {
  std::size_t offset;
  std::size_t columns;
};

// Each character (or byte that does not decode) of `bytes`, with its width.
std::vector<Piece> Pieces(std::string_view bytes) {
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = Utf8SequenceLength(bytes.substr(i));
    std::size_t columns = 1;
    const uint32_t cp = n == 0 ? 0 : CodePoint(bytes.substr(i, n));
    // What shows as U+FFFD is as wide as U+FFFD, whatever wcwidth says of it (NUL and
    // the bidirectional controls have no width of their own).
    if (n != 0 && !ShowsAsReplacement(cp)) {
      const int width = CharColumns(cp);
      if (width >= 0) columns = static_cast<std::size_t>(width);
    }
    pieces.push_back({i, columns});
    i += n == 0 ? 1 : n;
  }
  return pieces;
}

}  // namespace

std::size_t DisplayColumns(std::string_view utf8) {
  std::size_t columns = 0;
  for (const Piece& p : Pieces(utf8)) columns += p.columns;
  return columns;
}

std::string CutToColumnsFromLeft(std::string_view utf8, std::size_t maxColumns) {
  const std::vector<Piece> pieces = Pieces(utf8);
  std::size_t first = pieces.size();
  std::size_t columns = 0;
  while (first > 0 && columns + pieces[first - 1].columns <= maxColumns) {
    columns += pieces[--first].columns;
  }
  // Marks whose base character was cut away would be drawn on whatever precedes the tail.
  while (first < pieces.size() && pieces[first].columns == 0 && first > 0) ++first;
  return std::string(first < pieces.size() ? utf8.substr(pieces[first].offset)
                                           : std::string_view{});
}
