// Helpers shared by the native tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <vector>

namespace vesk::testing {

// A generous bound for work that should finish almost at once; reaching it
// means a deadlock, not a slow machine.
inline constexpr std::chrono::seconds kDeadlockBound{60};

// Waits for every future. A thread still running at the deadline is presumed
// deadlocked; it cannot be joined, so the process aborts instead of hanging.
template <class T>
void join_or_abort(std::vector<std::future<T>>& futures,
                   std::chrono::seconds limit = kDeadlockBound) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (auto& future : futures) {
    if (future.wait_until(deadline) == std::future_status::timeout) {
      std::fprintf(stderr, "worker thread did not finish: presumed deadlock\n");
      std::abort();
    }
  }
}

template <class T>
void join_or_abort(std::future<T>& future, std::chrono::seconds limit = kDeadlockBound) {
  if (future.wait_for(limit) == std::future_status::timeout) {
    std::fprintf(stderr, "worker thread did not finish: presumed deadlock\n");
    std::abort();
  }
}

}  // namespace vesk::testing
