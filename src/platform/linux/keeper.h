#pragma once

#include <cstdint>

#include "platform/posix/spawn.h"

namespace platform::linux_impl {

// What the keeper tells the executable, one record at a time on the report pipe. Records are
// written whole (far below PIPE_BUF), so a reader never sees half of one.
struct KeeperRecord {
  enum Kind : int32_t {
    ProgramEnded = 1,  // value: 1 exited with `status`, 0 ended by signal `status`, -1 not known
    Progress = 2,      // the end is under way and getting somewhere
  };
  int32_t kind;
  int32_t value;
  int32_t status;
};

// The two pipes between the executable and its keeper. The executable holds the write end of
// `requests`, and nothing else does: a byte there asks the keeper to end the tree, and end of file
// says that the executable has gone, however it went. Neither can be mistaken for a signal the
// caller sent the whole process group.
struct KeeperPipes {
  posix_impl::Pipe report;
  posix_impl::Pipe requests;
};

// Runs in the new keeper process, forked by `executable`: starts the program `plan` describes,
// holds its tree, and ends it when asked or when the executable has gone.
[[noreturn]] void runKeeper(const posix_impl::SpawnPlan& plan, KeeperPipes pipes);

}  // namespace platform::linux_impl
