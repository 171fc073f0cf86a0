// Preloaded into the pack to slow its session bus down: every message a thread other than the
// main one sends waits first, as it does when the bus connection's own thread is slow to run.
// A message still queued when the process ends is then lost, unless the process waits for it.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern "C" ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
  using Send = ssize_t (*)(int, const struct msghdr*, int);
  static Send send = reinterpret_cast<Send>(::dlsym(RTLD_NEXT, "sendmsg"));
  if (::gettid() != ::getpid()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  return send(fd, message, flags);
}
