#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "platform/posix/fd.h"

namespace platform::posix_impl {

// Keeps the last bytes written into a pipe, read on a thread of its own: the writer never waits
// on a full pipe, and the reader of the other pipe, the one that matters, never pays for it.
class PipeTail {
 public:
  PipeTail(Fd read, size_t limit) : read_(std::move(read)), limit_(limit) {}
  ~PipeTail() { finish(); }
  PipeTail(const PipeTail&) = delete;
  PipeTail& operator=(const PipeTail&) = delete;

  // Starts reading; false when no thread can be made. Start it after any fork that runs more
  // than async-signal-safe code.
  bool start();
  // Stops reading, once every writer has gone or a moment after being asked, and returns the
  // tail.
  std::string finish();

 private:
  void readUntilEnd();

  Fd read_;
  size_t limit_;
  std::string tail_;
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

}  // namespace platform::posix_impl
