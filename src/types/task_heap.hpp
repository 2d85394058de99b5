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

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "concurrent/intrinsics.hpp"

namespace vesk {

struct PrioritizedTask {
  std::int32_t priority;
  std::string task_id;
  double submit_time;
};

// The heap sifts small fixed-size keys (priority, submit time, id slot) and
// keeps the identifiers in a side table of slots, so moving an entry during a
// sift is a 16-byte copy whatever the identifier's length.
class TaskHeap {
 public:
  void push(std::int32_t priority, std::string_view task_id, double submit_time) {
    grow_to(keys_, keys_.size() + 1);
    const Key key{priority, store_id(task_id), submit_time};  // after this, nothing throws
    keys_.push_back(key);
    climb(keys_.size() - 1, key);
  }

  // Makes room for `count` more entries at once (growing geometrically, so
  // that a series of batches still costs amortized constant time per entry).
  void reserve_more(std::size_t count) {
    grow_to(keys_, keys_.size() + count);
    const std::size_t new_slots = count > free_slots_.size() ? count - free_slots_.size() : 0;
    grow_to(ids_, ids_.size() + new_slots);
  }

  // Destroys every entry of `task_id`. The others go into a new heap in the
  // order of successive pops, each pushed with the usual climb, which fixes
  // the order of ties afterwards. Storage is reserved first, so nothing can
  // fail once entries start moving.
  void remove_all(std::string_view task_id) {
    TaskHeap kept;
    kept.keys_.reserve(keys_.size());
    kept.ids_.reserve(keys_.size());
    kept.free_slots_.reserve(keys_.size());
    while (!keys_.empty()) {
      const Key key = pop_key();
      std::string id = take_id(key.slot);
      if (id == task_id) continue;
      const Key moved{key.priority, static_cast<std::uint32_t>(kept.ids_.size()), key.submit_time};
      kept.ids_.push_back(std::move(id));
      kept.keys_.push_back(moved);
      kept.climb(kept.keys_.size() - 1, moved);
    }
    swap(kept);
  }

  std::optional<PrioritizedTask> pop() {
    if (keys_.empty()) return std::nullopt;
    const Key result = pop_key();
    // The next pop reads the new top's id: start loading it now, while the
    // caller works on this one (gain: the put+get rows of bench/run.py).
    if (!keys_.empty()) prefetch_for_read(&ids_[keys_[0].slot]);
    return PrioritizedTask{result.priority, take_id(result.slot), result.submit_time};
  }

  // Pops up to `limit` entries, in the order pop() would, appending their
  // ids to `out`. Nothing changes if it throws.
  void pop_ids(std::size_t limit, std::vector<std::string>& out) {
    const std::size_t count = std::min(limit, keys_.size());
    out.reserve(out.size() + count);  // after this, nothing throws
    for (std::size_t i = 0; i < count; ++i) out.push_back(take_id(pop_key().slot));
  }

  std::size_t size() const noexcept { return keys_.size(); }
  bool empty() const noexcept { return keys_.empty(); }
  void clear() noexcept {  // keeps the storage
    keys_.clear();
    ids_.clear();
    free_slots_.clear();
  }
  void swap(TaskHeap& other) noexcept {
    keys_.swap(other.keys_);
    ids_.swap(other.ids_);
    free_slots_.swap(other.free_slots_);
  }

 private:
  struct Key {
    std::int32_t priority;
    std::uint32_t slot;  // index of the identifier in ids_
    double submit_time;
  };
  static_assert(sizeof(Key) == 16, "keys are sifted by plain copies: keep them two words");

  static bool precedes(const Key& a, const Key& b) noexcept {
    if (a.priority != b.priority) return a.priority < b.priority;
    return a.submit_time < b.submit_time;
  }

  static std::size_t parent(std::size_t pos) noexcept { return (pos - 1) / 2; }

  // Removes the first key; the heap must not be empty.
  Key pop_key() noexcept {
    const Key last = keys_.back();
    keys_.pop_back();
    if (keys_.empty()) return last;
    const Key result = keys_[0];
    climb(descend_to_leaf(0), last);
    return result;
  }

  template <class Vector>
  static void grow_to(Vector& vector, std::size_t wanted) {
    if (wanted > vector.capacity()) vector.reserve(std::max(wanted, 2 * vector.capacity()));
  }

  std::uint32_t store_id(std::string_view id) {
    if (!free_slots_.empty()) {
      const std::uint32_t slot = free_slots_.back();
      ids_[slot].assign(id);  // may throw before the slot is taken
      free_slots_.pop_back();
      return slot;
    }
    if (ids_.size() >= kMaxSlots) throw std::length_error("the queue holds too many entries");
    // Room for every slot to be freed later, so that take_id cannot throw.
    grow_to(free_slots_, ids_.size() + 1);
    ids_.emplace_back(id);
    return static_cast<std::uint32_t>(ids_.size() - 1);
  }

  std::string take_id(std::uint32_t slot) {
    std::string id = std::move(ids_[slot]);
    free_slots_.push_back(slot);  // within the capacity reserved by store_id
    return id;
  }

  // Moves parents down while `moving` precedes them, then stores it.
  void climb(std::size_t pos, Key moving) noexcept {
    while (pos > 0 && precedes(moving, keys_[parent(pos)])) {
      keys_[pos] = keys_[parent(pos)];
      pos = parent(pos);
    }
    keys_[pos] = moving;
  }

  // Moves the hole at `hole` down to a position without children.
  std::size_t descend_to_leaf(std::size_t hole) noexcept {
    const std::size_t n = keys_.size();
    while (2 * hole + 2 < n) {
      std::size_t child = 2 * hole + 2;  // right, unless left strictly precedes it
      if (precedes(keys_[child - 1], keys_[child])) --child;
      keys_[hole] = keys_[child];
      hole = child;
    }
    if (2 * hole + 1 == n - 1) {  // a single (left) child is the last entry
      keys_[hole] = keys_[n - 1];
      hole = n - 1;
    }
    return hole;
  }

  static constexpr std::size_t kMaxSlots = UINT32_MAX;

  std::vector<Key> keys_;
  std::vector<std::string> ids_;
  std::vector<std::uint32_t> free_slots_;
};

}  // namespace vesk
