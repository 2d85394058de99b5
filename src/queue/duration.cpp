#include "queue/duration.hpp"

#include <cmath>
#include <stdexcept>

// Exact rounding below needs 128-bit products: GCC and Clang (clang-cl and
// MinGW-w64 on Windows too) have them on every 64-bit target; MSVC's cl does not.
#if !defined(__SIZEOF_INT128__)
#error "duration.cpp needs unsigned __int128: build with GCC or Clang"
#endif

namespace vesk {

WaitDuration duration_from_seconds(double seconds) {
  if (seconds < 0.0) throw std::domain_error("cannot convert float seconds to Duration: value is negative");
  if (!(seconds < 18446744073709551616.0)) {  // also NaN and +inf
    throw std::domain_error("cannot convert float seconds to Duration: value is either too big or NaN");
  }
  int exponent = 0;
  const double mantissa = std::frexp(seconds, &exponent);  // seconds = mantissa * 2**exponent
  // seconds = m / 2**shift exactly, with m a 53-bit integer.
  const auto m = static_cast<unsigned __int128>(std::ldexp(mantissa, 53));
  const int shift = 53 - exponent;
  if (shift <= 0) {  // an integral number of seconds
    return WaitDuration{static_cast<std::uint64_t>(m << -shift), 0};
  }
  if (shift >= 127) return WaitDuration{0, 0};  // below half a nanosecond
  const unsigned __int128 scaled = m * 1000000000u;
  unsigned __int128 nanos = scaled >> shift;
  const unsigned __int128 remainder = scaled - (nanos << shift);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
  return WaitDuration{static_cast<std::uint64_t>(nanos / 1000000000u),
                      static_cast<std::uint32_t>(nanos % 1000000000u)};
}

}  // namespace vesk
