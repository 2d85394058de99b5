#include "queue/wakeup_list.hpp"

#include "queue/wake_descriptor.hpp"

namespace vesk {

void WakeupList::notify() noexcept {
  std::lock_guard lock(mutex_);
  for (int fd : fds_) signal_wake_descriptor(fd);
  fds_.clear();
  count_.store(0, std::memory_order_release);
}

}  // namespace vesk
