#include "queue/wakeup_list.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace vesk {
namespace {

// Forks this process has gone through; the child's copy counts its own birth.
std::atomic<std::uint64_t> forks_seen{0};

void count_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

// Adds 1 to an eventfd's counter (8 bytes is also a valid pipe write). A
// descriptor that is full (EAGAIN) is readable already; one that is gone
// (EBADF) has nobody left to wake.
void signal_descriptor(int fd) noexcept {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

void WakeupList::count_forks() {
  static const bool counting = [] {
    if (pthread_atfork(nullptr, nullptr, &count_fork_in_child) != 0) throw std::bad_alloc();
    return true;
  }();
  static_cast<void>(counting);
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
  for (int fd : fds_) signal_descriptor(fd);
  fds_.clear();
  count_.store(0, std::memory_order_release);
}

}  // namespace vesk
