// StatusStore: the native state of PyShardedTaskStatus and PyBatchedUpdater.
//
// Shards. shard_count shards, each one mutex guarding one table of records and
// one expiry heap. Readers take the mutex too: under the interpreter lock they
// rarely meet, and a mutex is cheaper to take than a reader-writer lock. A
// task's shard is hash_id(0, 0, id) % shard_count, the same in every process.
// That hash is unkeyed, so anyone can choose ids that all land in one shard;
// the tables therefore hash again under keys drawn at random for the store, so
// that such ids still spread over their table. Both hashes come from one pass
// over the id (hash_id_pair).
//
// Expiry. A write of a record with an expiry time stores the record and
// pushes its expiry entry under one hold of the shard's lock, with room for
// the entry allocated first: a write that fails for lack of memory leaves
// nothing behind. A cleanup that pops an entry judges the record stored now,
// not the entry, so a stale entry (the task was rewritten or removed) never
// deletes a live record.
//
// Locks. No thread holds two shards' locks at once. Every lock is tried first
// and, if busy, waited for only after the interpreter lock was given up (the
// region's hook). No Python code runs under a lock: records that leave the
// store are destroyed after it is released, and a reader copies a record out
// under it.
#pragma once

#include <cstdint>
#include <optional>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "concurrent/acquire.hpp"
#include "concurrent/flat_table.hpp"
#include "concurrent/hash_keys.hpp"
#include "module/kinds.hpp"
#include "status/expiry_heap.hpp"
#include "types/task_status.hpp"

namespace vesk {

// unkeyed_hash % shard_count, shard_count > 0; a mask instead of the
// division when shard_count is a power of two.
inline std::uint64_t store_shard_index(std::uint64_t unkeyed_hash, std::uint64_t shard_count) noexcept {
  return (shard_count & (shard_count - 1)) == 0 ? unkeyed_hash & (shard_count - 1) : unkeyed_hash % shard_count;
}

// Whole seconds since the Unix epoch plus the nanoseconds of the current
// second. Panic if the clock reads before the epoch.
double wall_clock_seconds();

class StatusStore {
  using Table = FlatTable<TaskStatusDict, IdHasher>;

 public:
  // shard_count >= 1; without a ttl no record ever expires. Throws
  // std::bad_alloc if the shards cannot be made; nothing is left allocated then.
  StatusStore(std::uint64_t shard_count, std::optional<std::uint64_t> ttl_seconds);

  std::uint64_t shard_count() const noexcept { return shard_count_; }

  // Stores `record` under `task_id`, replacing any record, and schedules its
  // expiry if it has one. hook.before_blocking() runs before any wait for
  // the lock. The replaced record is destroyed after the lock is released.
  template <class Hook>
  void write(Text task_id, TaskStatusDict&& record, Hook&& hook) {
    const auto [shard_index, hash] = locate(task_id);
    Shard& shard = shards_[shard_index];
    std::optional<TaskStatusDict> replaced;  // destroyed after the lock
    std::optional<ExpiryEntry> entry;        // allocated before any change
    if (const auto expires_at = ttl_seconds_ ? record.expiry_time(*ttl_seconds_) : std::nullopt) {
      entry = ExpiryEntry{*expires_at, std::string(task_id)};
    }
    auto lock = acquire_exclusive(shard.mutex, hook);
    if (entry) shard.expiry.reserve_one();
    replaced = shard.records.insert_or_replace(task_id, hash, std::move(record));
    if (entry) shard.expiry.push(std::move(*entry));  // into the reserved room: cannot fail
  }

  // The methods below run in a lock release region: they wait for a lock only
  // after giving up the interpreter lock, and destroy what they remove with
  // the interpreter lock held again, after the native locks.

  // The record, copied out under its shard's lock.
  std::optional<RecordCopy> read(Text task_id, Region& region) const;

  // read() of each id, in input order, grouped by shard: one hold of a
  // shard's lock serves all its ids, and their loads overlap.
  RecordCopies read_each(std::span<const Text> task_ids, Region& region) const;

  // The removed record, for the caller to destroy (no lock is held then).
  std::optional<TaskStatusDict> remove(Text task_id, Region& region);

  std::uint64_t count(Region& region) const;

  // Drops every record and expiry entry, shard by shard. Allocates nothing,
  // so it cannot fail for lack of memory.
  void clear(Region& region);

  // Pops due entries shard by shard and removes the records that are expired
  // themselves; returns how many. Stale entries are dropped uncounted.
  std::uint64_t cleanup_expired(std::optional<std::uint64_t> max_cleanup, double now,
                                Region& region);

  // Removes the oldest records (by age key, shard by shard from shard 0) until
  // at most max_count remain by the count taken first.
  std::uint64_t enforce_max_count(std::uint64_t max_count, Region& region);

 private:
  // Padded so that neighbouring shards' locks never share what the cache
  // moves as one unit.
  struct alignas(128) Shard {
    explicit Shard(HashKeys keys) : records(IdHasher{keys}) {}
    mutable std::mutex mutex;
    Table records;
    ExpiryHeap expiry;
  };

  // The shard of `task_id` and its hash in that shard's table.
  std::pair<std::uint64_t, std::uint64_t> locate(Text task_id) const noexcept {
    const IdHashPair both = hash_id_pair(table_keys_.k0, table_keys_.k1, task_id);
    return {store_shard_index(both.unkeyed, shard_count_), both.keyed};
  }

  // The shards in one block from allocate_aligned, so that a block too large to
  // allocate is a null pointer turned into std::bad_alloc. (operator new[] of
  // an over-aligned type lets a huge count wrap around on GCC 12, and the
  // sanitizer runtimes abort in it instead of throwing.)
  class ShardArray {
   public:
    ShardArray(std::uint64_t count, HashKeys keys);
    ~ShardArray() { destroy(); }
    ShardArray(const ShardArray&) = delete;
    ShardArray& operator=(const ShardArray&) = delete;
    Shard& operator[](std::uint64_t i) noexcept { return shards_[i]; }
    const Shard& operator[](std::uint64_t i) const noexcept { return shards_[i]; }

   private:
    void destroy() noexcept;
    Shard* shards_ = nullptr;
    std::uint64_t built_ = 0;  // shards constructed so far
  };

  // Ids ordered by shard, input order kept within a shard: the items of
  // shard s are order[starts[s]] .. order[starts[s + 1] - 1].
  struct Groups {
    std::vector<std::uint64_t> hashes;  // by item
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> starts;
    std::span<const std::uint32_t> items(std::size_t s) const {
      return {order.data() + starts[s], starts[s + 1] - starts[s]};
    }
  };
  Groups group_by_shard(std::span<const Text> task_ids) const;

  // Calls copy(const TaskStatusDict&) under the shard lock for the record of
  // `task_id`, with the interpreter lock held if the record has a result;
  // false if there is no record.
  template <class Copy>
  bool copy_record(Text task_id, Region& region, Copy&& copy) const;

  // Removes the expired records of one shard, at most `limit` of them by
  // popping due entries; without a limit, by one pass over the table when
  // most entries are due.
  std::uint64_t cleanup_shard(Shard& shard, std::optional<std::uint64_t> limit, double now,
                              Region& region);
  std::uint64_t trim_shard(Shard& shard, std::uint64_t count, Region& region);

  std::uint64_t shard_count_;
  std::optional<double> ttl_seconds_;
  HashKeys table_keys_;  // of every shard's table; kept here, apart from the locks
  ShardArray shards_;
};

}  // namespace vesk
