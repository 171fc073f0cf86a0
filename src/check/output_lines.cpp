#include "check/output_lines.h"

#include <string.h>

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

LastPieceTracker::Piece LastPieceTracker::keptPiece(std::string_view bytes) const {
  if (bytes.size() > maxPieceBytes_) {
    return Piece{std::string(), true};
  }
  return Piece{std::string(bytes), false};
}

bool LastPieceTracker::isCutPoint(std::string_view chunk, size_t at) const {
  return at == 0 ? !afterCarriageReturn_ : chunk[at - 1] != '\r';
}

namespace {

// The last line feed in the first `end` bytes of `chunk`. glibc's memrchr goes many bytes at a
// step, where string_view::rfind goes one: a flood without line feeds is scanned whole.
size_t lastLineFeedBefore(std::string_view chunk, size_t end) {
#if defined(__GLIBC__)
  const void* found = ::memrchr(chunk.data(), '\n', end);
  return found ? static_cast<size_t>(static_cast<const char*>(found) - chunk.data())
               : std::string_view::npos;
#else
  return end == 0 ? std::string_view::npos : chunk.rfind('\n', end - 1);
#endif
}

}  // namespace

size_t LastPieceTracker::lastCutPointBefore(std::string_view chunk, size_t end) const {
  while (end > 0) {
    size_t at = lastLineFeedBefore(chunk, end);
    if (at == std::string_view::npos) {
      return at;
    }
    if (isCutPoint(chunk, at)) {
      return at;
    }
    end = at;
  }
  return std::string_view::npos;
}

// Of the pieces that end at or before the cut point `cut`, keeps the last non-empty one. The
// first piece of the chunk continues the open piece of the reads before.
void LastPieceTracker::closeLastPieceBefore(std::string_view chunk, size_t cut) {
  for (size_t end = cut;;) {
    size_t previous = lastCutPointBefore(chunk, end);
    if (previous == std::string_view::npos) {
      extendOpenPiece(chunk.substr(0, end));
      if (!open_.empty()) {
        lastClosed_ = std::move(open_);
      }
      return;
    }
    if (end - previous > 1) {
      lastClosed_ = keptPiece(chunk.substr(previous + 1, end - previous - 1));
      return;
    }
    end = previous;
  }
}

// Works backwards from the end of each read, so that only the last pieces are looked at,
// however many short lines the read holds.
void LastPieceTracker::append(std::string_view chunk) {
  if (chunk.empty()) {
    return;
  }
  size_t lastCut = lastCutPointBefore(chunk, chunk.size());
  if (lastCut == std::string_view::npos) {
    extendOpenPiece(chunk);
  } else {
    closeLastPieceBefore(chunk, lastCut);
    open_ = Piece();
    extendOpenPiece(chunk.substr(lastCut + 1));
  }
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
