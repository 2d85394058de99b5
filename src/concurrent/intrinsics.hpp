// Compiler intrinsics, with plain C++ where a compiler lacks GCC's builtins.
#pragma once

#include <cstdint>

namespace vesk {

inline std::uint64_t byte_swap64(std::uint64_t word) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(word);
#else
  word = (word & 0x00000000FFFFFFFFull) << 32 | (word & 0xFFFFFFFF00000000ull) >> 32;
  word = (word & 0x0000FFFF0000FFFFull) << 16 | (word & 0xFFFF0000FFFF0000ull) >> 16;
  return (word & 0x00FF00FF00FF00FFull) << 8 | (word & 0xFF00FF00FF00FF00ull) >> 8;
#endif
}

// Starts loading the cache line at `address` for reading; a hint only.
inline void prefetch_for_read(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// The same, for a line about to be written.
inline void prefetch_for_write(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 1);
#else
  (void)address;
#endif
}

// Keeps a call the compiler sees as having no effect (a prefetch) from being dropped.
inline void keep_call() noexcept {
#if defined(__GNUC__) || defined(__clang__)
  asm volatile("");
#endif
}

}  // namespace vesk
