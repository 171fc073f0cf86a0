// Stands in for a helper that makes itself root, as sudo and su do: installed setuid root, it
// takes root as its real, effective and saved user, then sleeps for half a minute. A process of
// the user who started it may no longer signal it.
#include <unistd.h>

int main() {
  if (::setresgid(0, 0, 0) != 0 || ::setresuid(0, 0, 0) != 0) {
    return 1;
  }
  ::execl("/bin/sleep", "sleep", "30", nullptr);
  return 127;
}
