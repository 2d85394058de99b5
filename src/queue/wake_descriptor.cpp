#include "queue/wake_descriptor.hpp"

#include <cerrno>
#include <cstdint>

#if defined(_WIN32)
#define NOMINMAX
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace vesk {

#if defined(_WIN32)
// The number is the socket's handle, as Python's socket.fileno() gives it.
void signal_wake_descriptor(int fd) noexcept {
  const char one = 1;
  ::send(static_cast<SOCKET>(fd), &one, 1, 0);
}
#else
// 8 bytes: an eventfd takes nothing shorter, and a pipe takes them too.
void signal_wake_descriptor(int fd) noexcept {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}
#endif

}  // namespace vesk
