#include "queue/wakeup_list.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vesk {
namespace {

// Adds 1 to an eventfd's counter (8 bytes is also a valid pipe write). A
// descriptor that is full (EAGAIN) is readable already; one that is gone
// (EBADF) has nobody left to wake.
void signal_descriptor(int fd) noexcept {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

void WakeupList::notify() noexcept {
  std::lock_guard lock(mutex_);
  for (int fd : fds_) signal_descriptor(fd);
  fds_.clear();
  count_.store(0, std::memory_order_release);
}

}  // namespace vesk
