// macOS has no timer that signals one thread: the tick is a thread of its own.
#include "platform/posix/tick.h"
#include "platform/posix/tick_thread.h"

namespace platform::posix_impl {

struct Tick::State {
  TickThread thread;
};

Tick::Tick() : state_(std::make_unique<State>()) {}

Tick::~Tick() {
  stop();
}

bool Tick::start(pthread_t waiter, std::chrono::milliseconds interval) {
  return state_->thread.start(waiter, interval);
}

void Tick::stop() {
  state_->thread.stop();
}

}  // namespace platform::posix_impl
