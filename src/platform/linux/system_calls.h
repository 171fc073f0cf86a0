#pragma once

// The system calls the pack makes that the oldest C library it runs on (glibc 2.17) has no
// function for, made directly. Where the kernel lacks one, it answers ENOSYS, and each caller has
// its fallback. The numbers are the same on every architecture for the calls added since Linux 5.1.
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_clone3
#define SYS_clone3 435
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace platform::linux_impl {

// The caller's pid as the kernel knows it. glibc before 2.25 keeps a copy of the pid, which a
// process made by a bare clone system call inherits from its parent: getpid() would lie there.
inline pid_t currentPid() {
  return static_cast<pid_t>(::syscall(SYS_getpid));
}

// The calling thread's id (gettid() came with glibc 2.30).
inline pid_t currentThread() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

// close_range (Linux 5.9; glibc 2.34): 0, or -1 with errno.
inline int closeRange(unsigned first, unsigned last, unsigned flags) {
  return static_cast<int>(::syscall(SYS_close_range, first, last, flags));
}
// close_range's flag that marks the descriptors close-on-exec instead (Linux 5.11).
constexpr unsigned closeRangeOnExec = 1U << 2;

// The kernel's timers, which glibc before 2.34 wraps only in librt: called directly, the pack
// loads a library less at every start. A timer is the kernel's id for it; 0, or -1 with errno.
inline int timerCreate(clockid_t clock, sigevent* event, int* timer) {
  return static_cast<int>(::syscall(SYS_timer_create, clock, event, timer));
}
inline int timerSetTime(int timer, const itimerspec* every) {
  return static_cast<int>(::syscall(SYS_timer_settime, timer, 0, every, nullptr));
}
inline int timerDelete(int timer) {
  return static_cast<int>(::syscall(SYS_timer_delete, timer));
}

// A descriptor that stands for the process `pid` for as long as it is open, whatever pid the
// system hands out later (Linux 5.3): -1 with errno where there is none.
inline int pidfdOpen(pid_t pid) {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));
}

// Sends `signal` to the process `pidfd` stands for, and to no other: 0, or -1 with errno (ESRCH
// once that process has ended).
inline int pidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U));
}

}  // namespace platform::linux_impl
