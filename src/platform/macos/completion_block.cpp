#include "platform/macos/completion_block.h"

#include <new>

namespace platform::macos_impl {
namespace {

// The block's type as the compiler would encode it: void (^)(NSRunningApplication*, NSError*).
constexpr const char* completionSignature = "v24@?0@8@16";

// Called on a thread of the workspace's choosing; nothing may unwind into the caller. The error
// lives for the call only: the completion takes from it what it needs before returning.
void invokeCompletion(CompletionBlock* block, Id, Id error) {
  if (!block->completion) {
    return;
  }
  try {
    (*block->completion)(error);
  } catch (...) {
    // Out of memory: there is nobody to tell, and the waiter's bound still ends the wait.
  }
}

// The runtime has already copied the block's bytes to `destination`; the captured function is
// then the source's and must be replaced by a copy of its own.
void copyCaptures(void* destination, const void* source) {
  auto* copy = static_cast<CompletionBlock*>(destination);
  const auto* original = static_cast<const CompletionBlock*>(source);
  copy->completion = nullptr;
  if (!original->completion) {
    return;
  }
  try {
    copy->completion = new std::function<void(Id)>(*original->completion);
  } catch (...) {
    // Out of memory: this copy completes nothing, and the waiter's bound still ends the wait.
  }
}

void disposeCaptures(const void* block) {
  delete static_cast<const CompletionBlock*>(block)->completion;
}

constexpr BlockDescriptor completionDescriptor{
    0, sizeof(CompletionBlock), copyCaptures, disposeCaptures, completionSignature, nullptr};

}  // namespace

StackCompletionBlock::StackCompletionBlock(void* stackBlockClass,
                                           std::function<void(Id error)> completion)
    : completion_(std::move(completion)),
      block_{stackBlockClass,
             blockHasCopyDispose | blockHasSignature,
             0,
             invokeCompletion,
             &completionDescriptor,
             &completion_} {}

// A block on the stack is never disposed of by the runtime: what it captured goes with it here.
StackCompletionBlock::~StackCompletionBlock() = default;

}  // namespace platform::macos_impl
