// Preloaded into the pack to widen the window between a fork and the first thing the new process
// does, as a slow machine can: in the pack's own line of processes, the fork that QP_TEST_SLOW_FORK
// counts (1: the pack's own, 2: the one its child makes) sleeps half a second in the new process
// before it returns. Forks made by other programs are left as they are.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

namespace {

bool isThePack() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  constexpr std::string_view name = "/quality-pack";
  return n >= static_cast<ssize_t>(name.size()) &&
         std::string_view(path + n - name.size(), name.size()) == name;
}

int slowFork() {
  const char* which = std::getenv("QP_TEST_SLOW_FORK");
  return which ? std::atoi(which) : 0;
}

}  // namespace

extern "C" pid_t fork() {
  using Fork = pid_t (*)();
  static Fork realFork = reinterpret_cast<Fork>(::dlsym(RTLD_NEXT, "fork"));
  static int forksMade = 0;  // in this line of processes: a child starts with its parent's count
  bool counted = isThePack();
  forksMade += counted ? 1 : 0;
  pid_t pid = realFork();
  if (pid == 0 && counted && forksMade == slowFork()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return pid;
}
