// Descriptors (eventfds, pipe write ends or sockets) that event loops watch to learn
// that an entry was added to a queue.
//
// A registration is one-shot: the first notify after it writes to the
// descriptor and drops it. A loop registers again before each wait and then
// tries the queue once more, so an entry added in between is never missed;
// a put writes at most once per wait, and costs one atomic load while
// nobody waits.
//
// Writes happen under the list's mutex: once remove() has returned, nothing
// writes to that descriptor any more, so its owner may close it (and the
// number may be reused) without a stray write landing in another file.
//
// Registrations belong to the process that made them. A forked child
// inherits the numbers but not what they name (it may close them and open
// its own files under the same numbers), so the child drops every inherited
// registration before it adds, withdraws or writes anything.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "concurrent/acquire.hpp"

namespace vesk {

class WakeupList {
 public:
  // True while a descriptor is registered. The caller tests it after its
  // entry is in the queue (that is, after the queue lock that the loop's
  // retry also takes), which orders it after any registration that the retry
  // missed the entry for.
  bool armed() const noexcept { return count_.load(std::memory_order_acquire) > 0; }

  // Registers `fd` once (a second registration of the same fd changes
  // nothing). Throws std::bad_alloc with the list unchanged.
  template <class Hook>
  void add(int fd, Hook&& hook) {
    count_forks();
    auto lock = acquire_exclusive(mutex_, hook);
    drop_inherited();
    for (int known : fds_) {
      if (known == fd) return;
    }
    fds_.push_back(fd);
    count_.store(fds_.size(), std::memory_order_release);
  }

  // Withdraws `fd` if it is registered.
  template <class Hook>
  void remove(int fd, Hook&& hook) {
    auto lock = acquire_exclusive(mutex_, hook);
    drop_inherited();
    for (std::size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i] != fd) continue;
      fds_[i] = fds_.back();
      fds_.pop_back();
      count_.store(fds_.size(), std::memory_order_release);
      return;
    }
  }

  // Writes to every registered descriptor and drops the registrations.
  // Never blocks on a descriptor (a full pipe is already readable). Call it
  // without the interpreter lock.
  void notify() noexcept;

 private:
  // Starts counting this process's forks, once, before the first
  // registration. Throws std::bad_alloc if the hook cannot be installed.
  static void count_forks();
  // Empties the list if it was filled before a fork. Mutex held.
  void drop_inherited() noexcept;

  std::mutex mutex_;
  std::vector<int> fds_;
  std::uint64_t forks_at_fill_ = 0;  // the fork count when fds_ was last known current
  std::atomic<std::size_t> count_{0};
};

}  // namespace vesk
