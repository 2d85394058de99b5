// The expiry heap of one store shard: (expiry time, task id) entries, the
// earliest on top, guarded by the shard's lock.
//
// Entries are never changed or searched. A heap may hold several entries for
// one id and entries whose record is gone or was rewritten (stale entries);
// whoever pops an entry judges the record it names, not the entry.
//
// The heap also publishes the order key of its top entry in an atomic, so a
// cleanup skips a shard with nothing due without taking its lock: an idle
// cleanup_expired of 16 shards then costs 16 loads (gain: the "nothing due"
// row of bench/run.py).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

// Seconds since the Unix epoch at which a record expires.
using ExpiryTimestamp = double;

struct ExpiryEntry {
  ExpiryTimestamp expires_at;
  std::string task_id;
};

class ExpiryHeap {
 public:
  // Makes room for one more entry, so that the next push cannot fail.
  void reserve_one() {
    if (entries_.size() == entries_.capacity()) {
      entries_.reserve(std::max<std::size_t>(16, 2 * entries_.capacity()));
    }
  }

  // Throws only if no room was reserved and growing fails; then nothing changed.
  void push(ExpiryEntry entry) {
    entries_.push_back(std::move(entry));
    std::push_heap(entries_.begin(), entries_.end(), later);
    publish_top();
  }

  // Whether the top entry may be due at `now`, read without the lock. A
  // push that races this read is seen by the next cleanup, as if it had come
  // after this one.
  bool may_be_due(ExpiryTimestamp now) const noexcept {
    return !(earliest_.load(std::memory_order_acquire) > now);
  }

  bool empty() const noexcept { return entries_.empty(); }
  std::size_t size() const noexcept { return entries_.size(); }
  const ExpiryEntry& top() const noexcept { return entries_.front(); }

  ExpiryEntry pop() noexcept {
    std::pop_heap(entries_.begin(), entries_.end(), later);
    ExpiryEntry entry = std::move(entries_.back());
    entries_.pop_back();
    publish_top();
    return entry;
  }

  // How many entries are due at `now`.
  std::size_t count_due(ExpiryTimestamp now) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [now](const ExpiryEntry& e) { return !(e.expires_at > now); }));
  }

  // Drops every entry due at `now` at once, as popping them all would.
  void drop_due(ExpiryTimestamp now) noexcept {
    std::erase_if(entries_, [now](const ExpiryEntry& e) { return !(e.expires_at > now); });
    std::make_heap(entries_.begin(), entries_.end(), later);
    publish_top();
  }

  // Drops every entry; keeps the capacity.
  void clear() noexcept {
    entries_.clear();
    publish_top();
  }

 private:
  // Heap order key: NaN sorts as the earliest time, so the comparison stays a
  // strict weak order and a NaN entry, once on top, counts as expired (it is
  // not later than any time).
  static double order_key(ExpiryTimestamp t) noexcept {
    return std::isnan(t) ? -std::numeric_limits<double>::infinity() : t;
  }
  // The std heap functions keep the "largest" on top; "later" makes that the
  // earliest entry.
  static bool later(const ExpiryEntry& a, const ExpiryEntry& b) noexcept {
    return order_key(a.expires_at) > order_key(b.expires_at);
  }

  void publish_top() noexcept {
    earliest_.store(entries_.empty() ? std::numeric_limits<double>::infinity() : order_key(entries_.front().expires_at),
                    std::memory_order_release);
  }

  std::vector<ExpiryEntry> entries_;
  std::atomic<double> earliest_{std::numeric_limits<double>::infinity()};
};

}  // namespace vesk
