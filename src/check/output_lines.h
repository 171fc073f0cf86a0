#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace check {

// Follows a stream of output as it arrives and keeps only the piece that could still turn out
// to be the last one. Pieces are cut at every line feed that does not follow a carriage return
// (a CR LF pair stays inside its piece), and empty pieces are dropped. Memory stays bounded by
// `maxPieceBytes` however much is written.
class LastPieceTracker {
 public:
  explicit LastPieceTracker(size_t maxPieceBytes) : maxPieceBytes_(maxPieceBytes) {}

  void append(std::string_view chunk);

  // The last non-empty piece so far; empty when there is none; none when that piece was longer
  // than the bound and so was not kept.
  std::optional<std::string> lastPiece() const;

 private:
  struct Piece {
    std::string bytes;
    bool overlong = false;
    bool empty() const { return bytes.empty() && !overlong; }
  };

  void extendOpenPiece(std::string_view bytes);
  bool isCutPoint(std::string_view chunk, size_t at) const;
  size_t lastCutPointBefore(std::string_view chunk, size_t end) const;
  void closeLastPieceBefore(std::string_view chunk, size_t cut);
  Piece keptPiece(std::string_view bytes) const;

  size_t maxPieceBytes_;
  Piece open_;        // the piece after the last cut point, still growing
  Piece lastClosed_;  // the last non-empty piece before that cut point
  bool afterCarriageReturn_ = false;
};

}  // namespace check
