#include "check/output_lines.h"

#include <cstring>

namespace check {

void LastPieceTracker::extendOpenPiece(std::string_view bytes) {
  if (open_.overlong) {
    return;
  }
  if (open_.bytes.size() + bytes.size() > maxPieceBytes_) {
    open_.overlong = true;
    open_.bytes = std::string();
    return;
  }
  open_.bytes.append(bytes);
}

void LastPieceTracker::append(std::string_view chunk) {
  if (chunk.empty()) {
    return;
  }
  // Pieces that begin and end inside this chunk are only looked at, never copied: of them just
  // the last non-empty one matters, and only if nothing follows it.
  size_t pieceStart = 0;
  std::string_view lastInside;
  bool closedAny = false;
  for (size_t at = 0; at < chunk.size(); ++at) {
    const void* found = std::memchr(chunk.data() + at, '\n', chunk.size() - at);
    if (!found) {
      break;
    }
    at = static_cast<size_t>(static_cast<const char*>(found) - chunk.data());
    bool afterCr = at == 0 ? afterCarriageReturn_ : chunk[at - 1] == '\r';
    if (afterCr) {
      continue;
    }
    std::string_view piece = chunk.substr(pieceStart, at - pieceStart);
    if (!closedAny) {
      extendOpenPiece(piece);
      if (!open_.empty()) {
        lastClosed_ = std::move(open_);
      }
      open_ = Piece();
      closedAny = true;
    } else if (!piece.empty()) {
      lastInside = piece;
    }
    pieceStart = at + 1;
  }
  if (!lastInside.empty()) {
    if (lastInside.size() > maxPieceBytes_) {
      lastClosed_ = Piece{std::string(), true};
    } else {
      lastClosed_ = Piece{std::string(lastInside), false};
    }
  }
  extendOpenPiece(chunk.substr(pieceStart));
  afterCarriageReturn_ = chunk.back() == '\r';
}

std::optional<std::string> LastPieceTracker::lastPiece() const {
  const Piece& last = open_.empty() ? lastClosed_ : open_;
  if (last.overlong) {
    return std::nullopt;
  }
  return last.bytes;
}

}  // namespace check
