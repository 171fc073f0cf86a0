// Preloaded into the pack to widen the window between a fork and the first thing the new process
// does, as a slow machine can: in the pack's own line of processes, the fork that QP_TEST_SLOW_FORK
// counts (1: the pack's own, 2: the one its child makes) sleeps half a second in the new process
// before it returns. A new process made by clone3, as fork makes one, counts as a fork. Forks made
// by other programs are left as they are.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
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

int forksMade = 0;  // in this line of processes: a child starts with its parent's count

// Counts a fork about to be made; the new process calls `slowIfCounted` first thing.
bool countFork() {
  bool counted = isThePack();
  forksMade += counted ? 1 : 0;
  return counted;
}

void slowIfCounted(bool counted) {
  if (counted && forksMade == slowFork()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

}  // namespace

extern "C" pid_t fork() {
  using Fork = pid_t (*)();
  static Fork realFork = reinterpret_cast<Fork>(::dlsym(RTLD_NEXT, "fork"));
  bool counted = countFork();
  pid_t pid = realFork();
  if (pid == 0) {
    slowIfCounted(counted);
  }
  return pid;
}

extern "C" long syscall(long number, ...) {
  using Syscall = long (*)(long, ...);
  static Syscall realSyscall = reinterpret_cast<Syscall>(::dlsym(RTLD_NEXT, "syscall"));
  va_list list;
  va_start(list, number);
  long arguments[6];
  for (long& argument : arguments) {
    argument = va_arg(list, long);
  }
  va_end(list);
  bool counted = number == SYS_clone3 && countFork();
  long result = realSyscall(number, arguments[0], arguments[1], arguments[2], arguments[3],
                            arguments[4], arguments[5]);
  if (number == SYS_clone3 && result == 0) {
    slowIfCounted(counted);
  }
  return result;
}
