#include "platform/posix/pipe_tail.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/spawn.h"

namespace platform::posix_impl {

PipeTail::PipeTail(Fd read, size_t limit) : read_(std::move(read)), limit_(limit) {
  ::fcntl(read_.get(), F_SETFL, ::fcntl(read_.get(), F_GETFL) | O_NONBLOCK);
  // As large as the output's: a writer that floods it waits less often for this process to wake.
  sizeOutputPipe(read_.get());
  wakeOnInput(read_.get());
}

void PipeTail::drain() {
  char buffer[4096];
  while (read_) {
    discardAllButTail();
    ssize_t n = ::read(read_.get(), buffer, sizeof buffer);
    if (n > 0) {
      tail_.append(buffer, static_cast<size_t>(n));
      if (tail_.size() > limit_) {
        tail_.erase(0, tail_.size() - limit_);
      }
    } else if (n == 0 || errno != EINTR) {
      // End of file, or nothing more for now: a writer left behind (one that could not be
      // ended) may hold the pipe open for ever, and is not waited for.
      if (n == 0) {
        read_.reset();
      }
      return;
    }
  }
}

// What waits in the pipe beyond the tail's worth would only be read to be dropped: the kernel
// drops it unread where it can, so that a flood costs this process no copying.
void PipeTail::discardAllButTail() {
  int waiting = 0;
  if (::ioctl(read_.get(), FIONREAD, &waiting) != 0 || static_cast<size_t>(waiting) <= limit_) {
    return;
  }
  // What is left in the pipe is at least a whole tail, and newer than anything kept: the reads
  // that follow replace what the tail held.
  discardFromPipe(read_.get(), static_cast<size_t>(waiting) - limit_);
}

std::string PipeTail::finish() {
  drain();
  read_.reset();
  return tail_;
}

}  // namespace platform::posix_impl
