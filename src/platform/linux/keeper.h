#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/posix/child_tree.h"
#include "platform/posix/fd.h"
#include "platform/posix/spawn.h"

namespace platform::linux_impl {

// What the keeper tells the executable, one record at a time on their channel. Records are sent
// whole (far below what a socket's buffer holds), so a reader never sees half of one.
struct KeeperRecord {
  enum Kind : int32_t {
    ProgramEnded = 1,  // value: 1 exited with `status`, 0 ended by signal `status`, -1 not known
    Progress = 2,      // the end is under way and getting somewhere
    GroupMade = 3,     // the program runs in a control group, whose folder comes with the record
  };
  int32_t kind;
  int32_t value;
  int32_t status;
};

// Sends `record` (with the descriptor `fd` where it is not -1) on the channel `channel`; never
// waits: a record that finds the channel full is dropped. False when it was not sent.
bool sendRecord(int channel, KeeperRecord record, int fd = -1);

// The two ends of the channel between the executable and its keeper: a pair of connected
// sockets. The executable holds its end, and nothing else does: a byte from it asks the keeper
// to end the tree, and end of file says that the executable has gone, however it went. Neither
// can be mistaken for a signal the caller sent the whole process group, and a socket, unlike a
// pipe, can't be opened again through /proc by a process of the tree.
struct KeeperChannel {
  posix_impl::Fd executable;
  posix_impl::Fd keeper;
};
std::optional<KeeperChannel> makeKeeperChannel();

// What the keeper learns from the executable when it is forked.
struct KeeperStart {
  pid_t executable;   // its parent, watched: its end, however it comes, ends the tree
  pid_t callerGroup;  // the process group the program joins, as it would without the pack
};

// Runs in the new keeper process, forked by the executable: starts the program `plan` describes,
// holds its tree, and ends it when asked or when the executable has gone.
[[noreturn]] void runKeeper(const posix_impl::SpawnPlan& plan, KeeperChannel channel,
                            const KeeperStart& start);

// The executable's side of a keeper already forked: `keeper` is its pid (a child of this
// process), `channel` the executable's end of their channel.
std::unique_ptr<posix_impl::ChildTree> keptTree(pid_t keeper, posix_impl::Fd channel);

}  // namespace platform::linux_impl
