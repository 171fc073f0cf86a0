// Stands in for a helper that makes itself root, as sudo and su do: installed setuid root, it
// takes root as its real, effective and saved user, says so by making the file its argument names,
// then sleeps for half a minute. A process of the user who started it may no longer signal it.
//   becomes-root FILE
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2 || ::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) {
    return 1;
  }
  int made = ::open(argv[1], O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (made < 0) {
    return 1;
  }
  ::close(made);
  ::execl("/bin/sleep", "sleep", "30", nullptr);
  return 127;
}
