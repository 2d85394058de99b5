// The queue entry and the binary heap that orders entries.
//
// Precedence: a smaller priority first; among equal priorities an earlier
// submit_time (IEEE less-than) first. Everything else ties: equal times
// (0.0 == -0.0) and any NaN. The identifier never takes part.
//
// The sift passes are fixed, because they decide the order of tied entries:
// push climbs while the new entry strictly precedes its parent (a tie stops
// it); pop takes the last entry off, descends with the hole to a leaf always
// picking the right child unless the left one strictly precedes it, and then
// climbs the last entry up from that leaf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

struct PrioritizedTask {
  std::int32_t priority;
  std::string task_id;
  double submit_time;
};

// True if `a` must leave the queue before `b`.
inline bool precedes(const PrioritizedTask& a, const PrioritizedTask& b) noexcept {
  if (a.priority != b.priority) return a.priority < b.priority;
  return a.submit_time < b.submit_time;
}

class TaskHeap {
 public:
  void push(PrioritizedTask entry) {
    std::size_t pos = entries_.size();
    entries_.push_back(std::move(entry));
    PrioritizedTask moving = std::move(entries_[pos]);
    climb(pos, std::move(moving));
  }

  std::optional<PrioritizedTask> pop() {
    if (entries_.empty()) return std::nullopt;
    PrioritizedTask last = std::move(entries_.back());
    entries_.pop_back();
    if (entries_.empty()) return last;
    PrioritizedTask result = std::move(entries_[0]);
    const std::size_t hole = descend_to_leaf(0);
    climb(hole, std::move(last));
    return result;
  }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  void clear() noexcept { entries_.clear(); }  // keeps the storage
  void swap(TaskHeap& other) noexcept { entries_.swap(other.entries_); }

  // Read access in array order, for tests of the heap invariant.
  const std::vector<PrioritizedTask>& entries() const noexcept { return entries_; }

 private:
  static std::size_t parent(std::size_t pos) noexcept { return (pos - 1) / 2; }

  // Moves parents down while `moving` precedes them, then stores it.
  void climb(std::size_t pos, PrioritizedTask moving) {
    while (pos > 0 && precedes(moving, entries_[parent(pos)])) {
      entries_[pos] = std::move(entries_[parent(pos)]);
      pos = parent(pos);
    }
    entries_[pos] = std::move(moving);
  }

  // Moves the hole at `hole` down to a position without children.
  std::size_t descend_to_leaf(std::size_t hole) noexcept {
    const std::size_t n = entries_.size();
    while (2 * hole + 2 < n) {
      std::size_t child = 2 * hole + 2;  // right, unless left strictly precedes it
      if (precedes(entries_[child - 1], entries_[child])) --child;
      entries_[hole] = std::move(entries_[child]);
      hole = child;
    }
    if (2 * hole + 1 == n - 1) {  // a single (left) child is the last entry
      entries_[hole] = std::move(entries_[n - 1]);
      hole = n - 1;
    }
    return hole;
  }

  std::vector<PrioritizedTask> entries_;
};

}  // namespace vesk
