#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "platform/standard_output.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long a full standard output that the caller made non-blocking is waited on. A reader
// that takes no data for this long is not coming back for it.
constexpr std::chrono::seconds fullOutputWait(10);

// Waits until `fd` can take data again; false past `deadline`.
bool awaitRoom(int fd, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd output{fd, POLLOUT, 0};
    int ready = ::poll(&output, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
    if (ready > 0) {
      return true;  // room, or an error the next write reports
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

class PosixStandardStream final : public StandardOutput {
 public:
  explicit PosixStandardStream(int fd) : fd_(fd) {}

  bool write(std::string_view bytes) override {
    // The clock is read once the output is found full, not before: most writes never wait, and
    // the first reading of the clock costs a start of the pack more than the write itself.
    std::optional<Clock::time_point> deadline;
    while (!bytes.empty()) {
      ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        deadline = deadline.value_or(Clock::now() + fullOutputWait);
        if (!awaitRoom(fd_, *deadline)) {
          return false;
        }
      } else if (n == 0 || errno != EINTR) {
        return false;
      }
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

StandardOutput& systemStandardOutput() {
  static PosixStandardStream output(STDOUT_FILENO);
  return output;
}

StandardOutput& systemStandardError() {
  static PosixStandardStream error(STDERR_FILENO);
  return error;
}

}  // namespace platform
