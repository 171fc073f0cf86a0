// Runs a program inside ROOT as the root of the file system, with /proc and /dev/null mounted
// there, in a mount namespace of its own so that the mounts go when the program does:
//   chroot-runner ROOT PROGRAM [ARGUMENT...]
// Exits with 77 when the privileges for that are missing, saying which step failed.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int refuse(const char* step) {
  std::fprintf(stderr, "chroot-runner: %s: %s\n", step, std::strerror(errno));
  return 77;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: chroot-runner ROOT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  std::string root = argv[1];
  if (::unshare(CLONE_NEWNS) != 0) {
    return refuse("unshare");
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return refuse("making the mounts private");
  }
  if (::mount("proc", (root + "/proc").c_str(), "proc", 0, nullptr) != 0) {
    return refuse("mounting /proc");
  }
  if (::mount("/dev/null", (root + "/dev/null").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return refuse("binding /dev/null");
  }
  if (::chroot(root.c_str()) != 0 || ::chdir("/") != 0) {
    return refuse("chroot");
  }
  ::execv(argv[2], argv + 2);
  std::fprintf(stderr, "chroot-runner: cannot run %s: %s\n", argv[2], std::strerror(errno));
  return 127;
}
