#pragma once

#include <string>

#include "platform/posix/fd.h"

namespace platform::posix_impl {

// Keeps the last bytes written into a pipe. It is drained by the thread that waits on the child,
// on every wake-up, so no thread of its own is needed: where the system can, input on the pipe
// wakes that thread itself (wakeOnInput), and the tick does everywhere.
class PipeTail {
 public:
  PipeTail(Fd read, size_t limit);
  PipeTail(const PipeTail&) = delete;
  PipeTail& operator=(const PipeTail&) = delete;

  // Reads whatever is in the pipe now, without waiting.
  void drain();
  // Reads what is left and returns the tail.
  std::string finish();

 private:
  void discardAllButTail();

  Fd read_;
  size_t limit_;
  std::string tail_;
};

}  // namespace platform::posix_impl
