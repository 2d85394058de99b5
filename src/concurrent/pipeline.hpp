// The one shape of every look-ahead loop: start the loads of item i + k
// while using item i.
#pragma once

#include <cstddef>

namespace vesk {

// Runs every stage over items 0..count-1, stage s on item i only once stage
// s - 1 has run on item i + Ahead: each stage starts the memory loads the next
// one needs, and Ahead items of other work hide their latency. Each use says
// beside it what it gains on bench/run.py.
template <std::size_t Ahead, class... Stages>
void run_pipeline(std::size_t count, Stages&&... stages) {
  const std::size_t steps = count + (sizeof...(Stages) - 1) * Ahead;
  for (std::size_t step = 0; step < steps; ++step) {
    std::size_t lag = 0;
    (
        [&] {
          if (step >= lag && step - lag < count) stages(step - lag);
          lag += Ahead;
        }(),
        ...);
  }
}

}  // namespace vesk
