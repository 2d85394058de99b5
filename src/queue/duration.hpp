// Conversion of a float number of seconds into a wait duration.
#pragma once

#include <cstdint>

namespace vesk {

struct WaitDuration {
  std::uint64_t seconds;
  std::uint32_t nanoseconds;
  bool is_zero() const noexcept { return seconds == 0 && nanoseconds == 0; }
};

// Rounds to the nearest nanosecond, ties to even. Throws std::domain_error
// (an internal failure to the frame) for a negative value, NaN, infinity or
// 2**64 seconds and more.
WaitDuration duration_from_seconds(double seconds);

}  // namespace vesk
