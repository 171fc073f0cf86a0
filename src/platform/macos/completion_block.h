#pragma once

// The launch's completion handler as a block, laid out by hand as Apple's Block ABI documents it
// (the layout of ABI.2010.3.16, with copy and dispose helpers and a signature). A block literal
// would need a compiler with blocks, which g++ is not: laid out by hand, the same code builds for
// macOS with any compiler and for Linux, where its tests run against a runtime that copies and
// disposes of it the way the system's does.
//
// The handler's only work is the caller's completion function, given the launch's error (none
// when the launch succeeded). Each copy the runtime makes holds its own copy of that function (and
// so of whatever it shares, such as the semaphore the notice waits on): a completion that arrives
// after the waiter has given up still finds it alive, and whichever side lets go last destroys
// it.

#include <cstdint>
#include <functional>

#include "platform/macos/objc_runtime.h"

namespace platform::macos_impl {

struct BlockDescriptor {
  unsigned long reserved;
  unsigned long size;
  void (*copy)(void* destination, const void* source);  // with blockHasCopyDispose
  void (*dispose)(const void* block);                   // with blockHasCopyDispose
  // With blockHasSignature the runtime reads both: the block's type, and the layout of what it
  // captured (taken as extended layout information only under a flag this block does not set).
  const char* signature;
  const char* layout;
};

inline constexpr std::int32_t blockHasCopyDispose = 1 << 25;
inline constexpr std::int32_t blockHasSignature = 1 << 30;

struct CompletionBlock {
  void* isa;
  std::int32_t flags;
  std::int32_t reserved;
  void (*invoke)(CompletionBlock* block, Id runningApplication, Id error);
  const BlockDescriptor* descriptor;
  // Captured: owned by this copy of the block; none when copying it ran out of memory.
  std::function<void(Id error)>* completion;
};

// The handler of openApplicationAtURL:configuration:completionHandler: as a block on the
// caller's stack, for the duration of the call that hands it over; the runtime copies it to
// keep it longer.
class StackCompletionBlock {
 public:
  StackCompletionBlock(void* stackBlockClass, std::function<void(Id error)> completion);
  StackCompletionBlock(const StackCompletionBlock&) = delete;
  StackCompletionBlock& operator=(const StackCompletionBlock&) = delete;
  ~StackCompletionBlock();

  CompletionBlock* get() { return &block_; }

 private:
  std::function<void(Id error)> completion_;
  CompletionBlock block_;
};

}  // namespace platform::macos_impl
