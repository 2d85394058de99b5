// Lock acquisition that never blocks silently: try first, and only when the
// lock is taken call hook.before_blocking() (the Python layer gives up the
// interpreter lock there), then wait.
#pragma once

#include <mutex>

namespace vesk {

// Hook for callers that have nothing to give up before they wait.
struct NoWaitHook {
  void before_blocking() const noexcept {}
};

// Locks `mutex`: without waiting if it is free, else after
// hook.before_blocking().
template <class Mutex, class Hook>
std::unique_lock<Mutex> acquire_exclusive(Mutex& mutex, Hook&& hook) {
  std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    hook.before_blocking();
    lock.lock();
  }
  return lock;
}

}  // namespace vesk

