#include "queue/wakeup_list.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <cstdint>
#include <new>

#include "queue/wake_descriptor.hpp"

namespace vesk {
namespace {

// Forks this process has gone through; the child's copy counts its own birth.
std::atomic<std::uint64_t> forks_seen{0};

#if !defined(_WIN32)
void count_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }
#endif

}  // namespace

void WakeupList::count_forks() {
#if !defined(_WIN32)  // (Windows has no fork)
  static const bool counting = [] {
    if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) throw std::bad_alloc();
    return true;
  }();
  static_cast<void>(counting);
#endif
}

void WakeupList::drop_inherited() noexcept {
  const std::uint64_t forks = forks_seen.load(std::memory_order_relaxed);
  if (forks == forks_at_fill_) return;
  fds_.clear();
  count_.store(0, std::memory_order_release);
  forks_at_fill_ = forks;
}

void WakeupList::notify() noexcept {
  std::lock_guard lock(mutex_);
  drop_inherited();
  for (int fd : fds_) signal_wake_descriptor(fd);
  fds_.clear();
  count_.store(0, std::memory_order_release);
}

}  // namespace vesk
