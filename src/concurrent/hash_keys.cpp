#include "hash_keys.hpp"

#include <bit>
#include <cerrno>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#define NOMINMAX
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#elif defined(__APPLE__)
#include <stdlib.h>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#endif

namespace vesk {
namespace {

#if defined(_WIN32)
// The system's preferred generator; it reads no file and does not fail short.
void fill_random(unsigned char* out, std::size_t len) {
  if (len > 0xFFFFFFFFu ||
      !BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(len), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw std::system_error(EIO, std::generic_category(), "cannot read random hash keys");
  }
}
#elif defined(__APPLE__)
// Seeded by the kernel, never fails and never blocks.
void fill_random(unsigned char* out, std::size_t len) { ::arc4random_buf(out, len); }
#else
// Calls read_some(out + filled, len - filled) until `len` bytes are filled,
// retrying on EINTR; true if all were filled.
template <class ReadSome>
bool fill_with(ReadSome read_some, unsigned char* out, std::size_t len) noexcept {
  std::size_t filled = 0;
  while (filled < len) {
    const ssize_t got = read_some(out + filled, len - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}

// Reads exactly `len` bytes from /dev/urandom; false on any failure.
bool read_urandom(unsigned char* out, std::size_t len) noexcept {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool filled =
      fill_with([fd](unsigned char* to, std::size_t n) { return ::read(fd, to, n); }, out, len);
  ::close(fd);
  return filled;
}

// getrandom(2) first; /dev/urandom if the kernel lacks it or it fails.
void fill_random(unsigned char* out, std::size_t len) {
  const auto get_random = [](unsigned char* to, std::size_t n) { return ::getrandom(to, n, 0); };
  if (fill_with(get_random, out, len) || read_urandom(out, len)) {
    return;
  }
  throw std::system_error(errno, std::generic_category(), "cannot read random hash keys");
}
#endif

struct ThreadKeys {
  bool seeded = false;
  HashKeys next{};
};

thread_local ThreadKeys thread_keys;

}  // namespace

HashKeys next_hash_keys() {
  ThreadKeys& mine = thread_keys;
  if (!mine.seeded) {
    unsigned char seed[sizeof(HashKeys)];
    fill_random(seed, sizeof seed);
    mine.next.k0 = 0;
    mine.next.k1 = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      mine.next.k0 |= std::uint64_t{seed[i]} << (8 * i);
      mine.next.k1 |= std::uint64_t{seed[8 + i]} << (8 * i);
    }
    mine.seeded = true;
  }
  const HashKeys current = mine.next;
  ++mine.next.k0;  // unsigned: wraps
  return current;
}

std::size_t default_shard_count() {
  static const std::size_t count = [] {
    const unsigned online = std::thread::hardware_concurrency();  // 0 when unknown
    const std::size_t processors = online > 0 ? online : 1;
    return std::bit_ceil(processors * 4);
  }();
  return count;
}

}  // namespace vesk
