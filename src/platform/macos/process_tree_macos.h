#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace platform::macos_impl {

// What tells one process from another, where a pid can't: the kernel gives each process a
// unique id (p_uniqueid) that it never hands to another while the system runs.
using UniqueId = std::uint64_t;

// The few system calls the tracking needs. Each question is one the system answers about any
// process, whoever runs it.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // The processes whose parent is `pid` now; none when it has none or is gone.
  virtual std::vector<pid_t> childrenOf(pid_t pid) = 0;
  // The unique id of the process that has `pid` now; none when no process has that pid.
  virtual std::optional<UniqueId> uniqueIdOf(pid_t pid) = 0;
  // The parent of the process that has `pid` now; none when no process has that pid.
  virtual std::optional<pid_t> parentOf(pid_t pid) = 0;
  virtual void sendSignal(pid_t pid, int signal) = 0;
  enum class Reaped { Yes, NotYet, NotOurs };
  // Collects the exit of `pid` if it has ended and is this process's child, without waiting.
  virtual Reaped reap(pid_t pid) = 0;
};

// macOS has neither a subreaper nor a parent-death signal: a process the child starts and
// leaves behind is handed to launchd, out of this process's sight. So while the child runs, every
// process below it is noted, by pid and unique id, whenever the caller looks; at the end each
// one still running is ended, wherever it has gone meanwhile. A process that starts and loses its
// parent between two looks is never seen, and one still running when this process is killed is
// not ended by it.
class DescendantTracker {
 public:
  explicit DescendantTracker(ProcessTable& table) : table_(table) {}

  // Notes every process below `root` (not `root` itself, which the caller ends), and every new
  // one below those noted before, which may no longer be below `root`. Call it on every wake-up
  // while the child runs, and once more after stopping the child, so that what it started last
  // is known. It costs three system calls for each process below the child.
  void look(pid_t root);

  // Ends every process noted that is still the same process: each is stopped first, parents
  // before children, so that none can start another meanwhile; those found below them then are
  // stopped too; then all are killed, and those that are this process's children reaped. False
  // when one of those was still not reaped at `deadline`.
  bool endAll(std::chrono::steady_clock::time_point deadline);

 private:
  struct Noted {
    pid_t pid;
    UniqueId id;
    bool stopped = false;
  };

  // The unique id of the process `pid` names now, when it is a child of `parent`.
  std::optional<UniqueId> childId(pid_t pid, pid_t parent);
  bool isStillRunning(const Noted& process);
  bool isNoted(UniqueId id) const;
  // Notes the children of `parent`, and theirs, in the order found (parents first), skipping
  // processes already looked below in this pass.
  void noteBelow(pid_t parent, std::vector<pid_t>& lookedBelow);
  // Notes new children of every noted process still running.
  void noteBelowNoted(std::vector<pid_t>& lookedBelow);
  // Stops every noted process still running, parents first, until no new one turns up.
  void stopAll();
  // Kills every noted process still running; the pids signalled.
  std::vector<pid_t> killAll();
  bool reapAll(std::vector<pid_t> killed, std::chrono::steady_clock::time_point deadline);

  ProcessTable& table_;
  std::vector<Noted> noted_;
};

// Every pid a listing call gives (proc_listchildpids), which fills a buffer of `bytes` and says
// how many pids it wrote, or fails with a negative count: called again with a larger buffer
// until one is left over, since a full buffer may have left some out. None when it fails.
std::vector<pid_t> listAllPids(const std::function<int(pid_t* buffer, int bytes)>& list);

// The system's process calls (macOS only).
ProcessTable& systemProcessTable();

}  // namespace platform::macos_impl
