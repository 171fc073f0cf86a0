// Runs a program where the system refuses some of what the pack holds a process tree with, as a
// container's filter or an older kernel does:
//   without-features FEATURE[,FEATURE...] PROGRAM [ARGUMENT...]
// FEATURE is one of
//   folders      making a folder fails (EPERM): no control group can be made;
//   clone3       there is no clone3 (ENOSYS), as before Linux 5.3: no process is started inside a
//                control group;
//   pidns        a new PID namespace is refused (EPERM), as to a user without the privilege;
//   userns       a new user namespace is refused (EPERM), as where the system allows none to
//                unprivileged users;
//   close_range  there is no close_range (ENOSYS), as before Linux 5.9;
//   pidfd        there are no pidfds (ENOSYS), as before Linux 5.3.
// The refusal holds for every process the program starts. Exits with 77 when it can't be set up.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr unsigned thisArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned thisArchitecture = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this machine"
#endif

struct Refusal {
  long call;
  int error;
  unsigned flags = 0;  // refused only when the first argument has one of these bits set
};

bool refusalsFor(const std::string& feature, std::vector<Refusal>& refusals) {
  if (feature == "folders") {
#ifdef SYS_mkdir
    refusals.push_back({SYS_mkdir, EPERM});
#endif
    refusals.push_back({SYS_mkdirat, EPERM});
    return true;
  }
  if (feature == "clone3") {
    refusals.push_back({SYS_clone3, ENOSYS});
    return true;
  }
  if (feature == "pidns" || feature == "userns") {
    unsigned flag = feature == "pidns" ? CLONE_NEWPID : CLONE_NEWUSER;
    refusals.push_back({SYS_clone, EPERM, flag});
    refusals.push_back({SYS_unshare, EPERM, flag});
    return true;
  }
  if (feature == "close_range") {
    refusals.push_back({SYS_close_range, ENOSYS});
    return true;
  }
  if (feature == "pidfd") {
    refusals.push_back({SYS_pidfd_open, ENOSYS});
    refusals.push_back({SYS_pidfd_send_signal, ENOSYS});
    return true;
  }
  return false;
}

std::vector<sock_filter> filterFor(const std::vector<Refusal>& refusals) {
  std::vector<sock_filter> filter = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, thisArchitecture, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (const Refusal& refusal : refusals) {
    const unsigned errorReturn =
        SECCOMP_RET_ERRNO | (static_cast<unsigned>(refusal.error) & 0xffff);
    if (refusal.flags == 0) {
      filter.push_back(
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(refusal.call), 0, 1));
      filter.push_back(BPF_STMT(BPF_RET | BPF_K, errorReturn));
      continue;
    }
    // The call, with one of the flags in the low word of its first argument; the number is loaded
    // again for the next refusal.
    filter.push_back(
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(refusal.call), 0, 4));
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, refusal.flags, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, errorReturn));
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return filter;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: without-features FEATURE[,FEATURE...] PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  std::vector<Refusal> refusals;
  std::istringstream features(argv[1]);
  for (std::string feature; std::getline(features, feature, ',');) {
    if (!refusalsFor(feature, refusals)) {
      std::fprintf(stderr, "without-features: unknown feature '%s'\n", feature.c_str());
      return 2;
    }
  }
  auto filter = filterFor(refusals);
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  // Root may install the filter without giving up what setuid programs grant, so that a setuid
  // helper started below it still works as it would; anyone else must give that up first.
  if ((::geteuid() != 0 && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::fprintf(stderr, "without-features: seccomp: %s\n", std::strerror(errno));
    return 77;
  }
  ::execv(argv[2], argv + 2);
  std::fprintf(stderr, "without-features: cannot run %s: %s\n", argv[2], std::strerror(errno));
  return 127;
}
