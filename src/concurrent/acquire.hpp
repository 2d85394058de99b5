// Lock acquisition that never blocks silently: try first, and only when the
// lock is taken call hook.before_blocking() (the Python layer gives up the
// interpreter lock there), then wait.
#pragma once

#include <mutex>
#include <shared_mutex>

namespace vesk::concurrent {

struct NoWaitHook {
  void before_blocking() const noexcept {}
};

template <class Lockable, class Hook>
std::unique_lock<Lockable> acquire_exclusive(Lockable& lockable, Hook&& hook) {
  std::unique_lock<Lockable> lock(lockable, std::try_to_lock);
  if (!lock.owns_lock()) {
    hook.before_blocking();
    lock.lock();
  }
  return lock;
}

template <class Lockable, class Hook>
std::shared_lock<Lockable> acquire_shared(Lockable& lockable, Hook&& hook) {
  std::shared_lock<Lockable> lock(lockable, std::try_to_lock);
  if (!lock.owns_lock()) {
    hook.before_blocking();
    lock.lock();
  }
  return lock;
}

}  // namespace vesk::concurrent
