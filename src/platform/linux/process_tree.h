#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace platform::linux_impl {

// Whether /proc describes this process's own PID namespace. Mounted over, or left from another
// namespace (after `unshare --pid` without a new /proc), its pids name other processes here,
// and signalling one of them could end an unrelated process.
bool procIsOurs();

// The parent in the text of /proc/PID/stat; none when the text is not one. The command name in
// it may hold spaces and parentheses, so the fields are read after its last ')'.
std::optional<pid_t> parentInStat(std::string_view stat);

// The children of `pid`: from the kernel's lists where it keeps them, else from every process's
// parent.
std::vector<pid_t> childrenOf(pid_t pid);

// What the walk below does to processes: the system's calls, or a test's record of them.
class TreeActions {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Stop {
    Stopped,  // stopped, and held on to until it is killed
    Gone,     // no longer a child of the parent it was listed under
    Refused,  // a process this one may not signal (another user's): not one it can end
  };
  virtual ~TreeActions() = default;
  virtual std::vector<pid_t> childrenOf(pid_t pid) = 0;
  // Stops `pid` while it is still the child of `parent` it was listed as.
  virtual Stop stop(pid_t pid, pid_t parent) = 0;
  // Kills the process that stop() stopped as `pid`, and no other.
  virtual void kill(pid_t pid) = 0;
  // Reaps whatever of this process's children has ended; true when anything was.
  virtual bool reapEnded() = 0;
  virtual Clock::time_point now() = 0;
  // Whether `pid`, sent SIGKILL, will go by itself once it is given the processor.
  virtual bool mayStillGo(pid_t pid) = 0;
  // A moment's wait before the next look, for what the kernel still holds.
  virtual void pause() = 0;
  // Tells whoever waits for the walk that it is still getting somewhere.
  virtual void progressed() = 0;
};

struct WalkLimits {
  // How long the walk waits on processes it killed that the kernel does not let go (one stuck in
  // an uninterruptible sleep, one whose exit a tracer holds back), counted from the last progress
  // once none of them may still go by itself.
  std::chrono::milliseconds stuck{500};
  // How long the walk goes on finding new processes: only a tree that keeps starting processes
  // faster than they are found (a chain of processes that each fork and exit) could outrun it.
  std::chrono::milliseconds work{30000};
};

// Ends every process below `self` (a subreaper, so that every orphan of the tree comes back to
// it): each is stopped before its children are listed, so that none forks while the tree is
// walked, and killed with SIGKILL before the round is over; rounds go on while they find
// processes that were not there before, or reap some, and orphans are reaped before each.
// Everything stopped is killed, whatever the time. A process that may not be signalled is left,
// with what is below it, at once. True once nothing is left below `self`.
bool endAllDescendants(TreeActions& actions, pid_t self, const WalkLimits& limits);

// Whether `pid`, as /proc numbers it, is out of reach of the SIGKILL it was sent, for now: asleep
// in the kernel where no signal wakes it, or a zombie (whose exit a tracer may hold back). Any
// other process that was sent SIGKILL goes as soon as it is given the processor, however busy the
// machine.
bool heldByTheKernel(pid_t pid);
// Whether any of `pids` (as /proc numbers them) will still go by itself.
bool anyMayStillGo(const std::vector<pid_t>& pids);
// Every process below this one, as /proc numbers them, whatever PID namespace this process's own
// pid is of: found from /proc/self. None where /proc does not show this process.
std::vector<pid_t> descendantsShownInProc();
// Every process below `pid`, as /proc numbers them.
std::vector<pid_t> descendantsOf(pid_t pid);

struct EndLimits {
  // How long the end waits without a step forward once nothing left will go by itself: what is
  // left then is held by the kernel.
  std::chrono::milliseconds stuck{500};
  // How long it waits in all: only a process that the kernel never lets go past a SIGKILL while
  // it runs could make it wait that long.
  std::chrono::milliseconds cap{30000};
};

// Waits until `done()`, taking a `step()` between looks (true when it got somewhere: a process
// reaped, fewer left). A wait without a step is only given up when `mayStillGo()` says that
// nothing left can go by itself: on a busy machine, processes that were killed may wait a long
// while for the processor to die on, and so may the one waiting for them; a look always comes
// before the clock is read. True when done.
bool awaitWhileProgressing(const std::function<bool()>& done, const std::function<bool()>& step,
                           const std::function<bool()>& mayStillGo, const EndLimits& limits);

// The system's calls, with the reaping and the word of progress its user gives. Each process is
// signalled through a descriptor that stands for it (a pidfd), opened before its parent is
// checked: a process that ends meanwhile, and whose pid is handed to another (a parent that
// ignores SIGCHLD has its children reaped by the kernel), is never signalled in its place. Where
// the kernel has no pidfds (before Linux 5.3), the pid is signalled just after the check.
class SystemTreeActions final : public TreeActions {
 public:
  SystemTreeActions(std::function<bool()> reapEnded, std::function<void()> progressed);
  ~SystemTreeActions() override;
  std::vector<pid_t> childrenOf(pid_t pid) override;
  Stop stop(pid_t pid, pid_t parent) override;
  void kill(pid_t pid) override;
  bool reapEnded() override { return reapEnded_(); }
  bool mayStillGo(pid_t pid) override { return !heldByTheKernel(pid); }
  Clock::time_point now() override { return Clock::now(); }
  void pause() override;
  void progressed() override { progressed_(); }

 private:
  std::function<bool()> reapEnded_;
  std::function<void()> progressed_;
  std::map<pid_t, int> held_;  // the pidfds of the processes stopped and not yet killed
};

}  // namespace platform::linux_impl
