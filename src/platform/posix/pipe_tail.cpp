#include "platform/posix/pipe_tail.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace platform::posix_impl {
namespace {

// How often the reader looks whether it was asked to stop: a writer left behind (one that could
// not be ended) may hold the pipe open for ever.
constexpr int stopLookMs = 50;

}  // namespace

bool PipeTail::start() {
  // The reader takes none of the process's signals: they are for the thread that waits on the
  // child.
  sigset_t all, mine;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &mine);
  try {
    reader_ = std::thread([this] { readUntilEnd(); });
  } catch (const std::system_error&) {
  }
  ::pthread_sigmask(SIG_SETMASK, &mine, nullptr);
  return reader_.joinable();
}

void PipeTail::readUntilEnd() {
  char buffer[4096];
  for (;;) {
    // Once asked to stop, what is in the pipe already is still read, but nothing waited for.
    bool stopping = stopping_;
    pollfd readable{read_.get(), POLLIN, 0};
    int ready = ::poll(&readable, 1, stopping ? 0 : stopLookMs);
    if (ready <= 0) {
      if (stopping) {
        return;
      }
      continue;
    }
    ssize_t n = ::read(read_.get(), buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      return;
    }
    if (n > 0) {
      tail_.append(buffer, static_cast<size_t>(n));
      if (tail_.size() > limit_) {
        tail_.erase(0, tail_.size() - limit_);
      }
    }
  }
}

std::string PipeTail::finish() {
  if (reader_.joinable()) {
    stopping_ = true;
    reader_.join();
  }
  return tail_;
}

}  // namespace platform::posix_impl
