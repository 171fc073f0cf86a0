// The executable's side of the keeper, against stand-in keepers: child processes of the test that
// speak the keeper's part on the channel.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/linux/keeper.h"

namespace {

using platform::linux_impl::KeeperRecord;
using platform::linux_impl::keptTree;
using platform::linux_impl::makeKeeperChannel;
using platform::linux_impl::sendRecord;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A keeper ending a large tree on a busy machine may take longer than the pack's patience, while
// it sleeps between its kills: each word of progress renews the patience, and it is waited for
// until it is done rather than killed halfway.
TEST(KeptTree, AKeeperThatReportsProgressIsWaitedForPastThePatience) {
  auto channel = makeKeeperChannel();
  ASSERT_TRUE(channel);
  pid_t keeper = ::fork();
  if (keeper == 0) {
    channel->executable.reset();
    char request = 0;
    if (::read(channel->keeper.get(), &request, 1) != 1) {
      ::_exit(1);
    }
    for (int word = 0; word < 8; ++word) {
      std::this_thread::sleep_for(300ms);
      sendRecord(channel->keeper.get(), {KeeperRecord::Progress, 0, 0});
    }
    ::_exit(0);
  }
  ASSERT_GT(keeper, 0);
  channel->keeper.reset();
  auto tree = keptTree(keeper, std::move(channel->executable));
  auto start = Clock::now();
  tree->endAll(1000ms);
  EXPECT_GE(Clock::now() - start, 2400ms) << "the keeper was given up on while it reported";
  EXPECT_EQ(::waitpid(keeper, nullptr, WNOHANG), -1) << "the keeper is reaped";
}

// The keeper never waits on the pack to read what it reports: a pack that is stopped, or slow to
// look, must not hold the end of the tree back. What finds the channel full is dropped.
TEST(KeptTree, RecordsNeverWaitForTheReader) {
  auto channel = makeKeeperChannel();
  ASSERT_TRUE(channel);
  pid_t sender = ::fork();
  if (sender == 0) {
    ::alarm(10);
    int sent = 0;
    for (int i = 0; i < 100000; ++i) {
      sent += sendRecord(channel->keeper.get(), {KeeperRecord::Progress, 0, 0}) ? 1 : 0;
    }
    ::_exit(sent > 0 && sent < 100000 ? 0 : 1);
  }
  ASSERT_GT(sender, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(sender, &status, 0), sender);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "blocked on the full channel" : "every record was taken");
}

}  // namespace
