// StatusStore: the native state of PyShardedTaskStatus.
//
// Store shards. shard_count pairs of (map of records, expiry heap); a task's
// shard is hash_id(0, 0, id) % shard_count, the same in every process.
//
// Two hashes, two levels. The store shard index is a fixed, unkeyed hash,
// so anyone can choose ids that all land in one store shard; the maps inside
// the shards therefore hash again under keys drawn at random, so that such
// ids still spread over their tables. All maps of one store share those
// keys, so both hashes of an id are known before its shard is: they are
// computed side by side (hash_with_unkeyed), at little more than the cost
// of one. The maps are split into
// shards only as far as the store's own shards fall short of the default
// (4 per processor): an empty PyShardedTaskStatus(4096, 60) costs 4096
// store shards of 2 map shards each, not of 4 per processor each.
//
// Write order. Every write inserts the record first and pushes its expiry
// entry after. A cleanup that pops an entry judges the record stored now, not
// the entry: it removes the record only if the record is expired itself, as
// one step under the map shard's exclusive lock. So a stale entry (the task
// was rewritten or removed) never deletes a live record, and an entry popped
// before the newest record's own entry is pushed cannot lose that record's
// expiry. A write with an expiry holds the heap lock across both steps, with
// room for the entry reserved first: a write that fails for lack of memory
// leaves nothing behind, and a stored record always gets its entry.
//
// Locks. A heap lock may be held while map locks are taken (cleanup, writes
// with an expiry), never the other way round. Every lock is tried first and,
// if busy, waited for only after the interpreter lock was given up (the
// region's hook). No Python code runs under any of them: records that leave
// the store are destroyed after the locks are released, and a reader copies
// a record out under its read guard.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "concurrent/sharded_map.hpp"
#include "concurrent/siphash.hpp"
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
 public:
  // shard_count >= 1. Throws std::bad_alloc if the shards cannot be made;
  // nothing is left allocated then.
  StatusStore(std::uint64_t shard_count, std::uint64_t ttl_seconds);

  std::uint64_t shard_count() const noexcept { return shard_count_; }

  // Stores `record` under `task_id`, replacing any record; then schedules its
  // expiry if it has a final status and an end_time. hook.before_blocking()
  // runs before any wait for a lock. The replaced record is destroyed after
  // every lock is released.
  template <class Hook>
  void write(Text task_id, TaskStatusDict&& record, Hook&& hook) {
    const auto [shard_index, key_hash] = locate(task_id);
    Shard& shard = shards_[shard_index];
    std::optional<TaskStatusDict> replaced;  // destroyed after every lock
    const auto expires_at = record.expiry_time(ttl_seconds_);
    if (!expires_at) {
      replaced = shard.records.insert_hashed(task_id, key_hash, std::move(record), hook);
      return;
    }
    ExpiryEntry entry{*expires_at, std::string(task_id)};  // allocated before any change
    auto heap_lock = shard.expiry.lock(hook);
    shard.expiry.reserve_one();
    replaced = shard.records.insert_hashed(task_id, key_hash, std::move(record), hook);
    shard.expiry.push(std::move(entry));  // into the reserved room: cannot fail
  }

  // The methods below run in a lock release region: they wait for a lock only
  // after giving up the interpreter lock, and destroy what they remove with
  // the interpreter lock held again, after the native locks.

  // The record, copied out under its read guard.
  std::optional<RecordCopy> read(Text task_id, Region& region) const;

  // read() of each id, in input order, grouped by map shard: one hold of a
  // shard's read lock serves all its ids, and their loads overlap.
  RecordCopies read_each(std::span<const Text> task_ids, Region& region) const;

  // The removed record, for the caller to destroy (no lock is held then).
  std::optional<TaskStatusDict> remove(Text task_id, Region& region);

  std::uint64_t count(Region& region) const;

  // Drops every expiry entry, then every record (map by map). Allocates
  // nothing, so it cannot fail for lack of memory.
  void clear(Region& region);

  // Pops due entries shard by shard and removes the records that are expired
  // themselves; returns how many. Stale entries are dropped uncounted.
  std::uint64_t cleanup_expired(std::optional<std::uint64_t> max_cleanup, double now,
                                Region& region);

  // Removes the oldest records (by age key, shard by shard from shard 0) until
  // at most max_count remain by the count taken first.
  std::uint64_t enforce_max_count(std::uint64_t max_count, Region& region);

 private:
  // Padded so that one shard's heap lock never shares a cache line with its
  // neighbour's map header, which every operation reads.
  struct alignas(128) Shard {
    Shard(std::size_t map_shards, HashKeys keys) : records(map_shards, keys) {}
    ShardedMap<TaskStatusDict> records;
    ExpiryHeap expiry;
  };

  using Map = ShardedMap<TaskStatusDict>;

  // The store shard of `task_id` and its hash in that shard's map.
  std::pair<std::uint64_t, Map::KeyHash> locate(Text task_id) const noexcept {
    const auto [unkeyed, key_hash] = Map::hash_with_unkeyed(map_keys_, task_id);
    return {store_shard_index(unkeyed, shard_count_), key_hash};
  }

  // The shards in one block from allocate_aligned, so that a block too large to
  // allocate is a null pointer turned into std::bad_alloc. (operator new[] of
  // an over-aligned type lets a huge count wrap around on GCC 12, and the
  // sanitizer runtimes abort in it instead of throwing.)
  class ShardArray {
   public:
    // `map_shards` per store shard's map, all hashing under `keys`.
    ShardArray(std::uint64_t count, std::size_t map_shards, HashKeys keys);
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

  // Ids ordered by the map shard that holds them (the group), input order
  // kept within a group: group g is store shard g / inner, its map's shard
  // g % inner, and its items are order[starts[g]] .. order[starts[g + 1] - 1].
  struct Groups {
    std::size_t inner;  // map shards per store shard
    std::vector<std::optional<Map::KeyHash>> hashes;  // by item
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> starts;
    std::span<const std::uint32_t> items(std::size_t g) const {
      return {order.data() + starts[g], starts[g + 1] - starts[g]};
    }
  };
  Groups group_by_shard(std::span<const Text> task_ids) const;

  // Calls copy(const TaskStatusDict&) under the read guard of the record of
  // `task_id` with the interpreter lock held if the record has a result;
  // false if there is no record.
  template <class Copy>
  bool copy_record(Text task_id, Region& region, Copy&& copy) const;

  std::uint64_t cleanup_shard(Shard& shard, std::uint64_t limit, double now, Region& region);
  // cleanup_shard without a limit; sweeps the map when most entries are due.
  std::uint64_t sweep_shard(Shard& shard, double now, Region& region);
  std::uint64_t trim_shard(Shard& shard, std::uint64_t count, Region& region);

  std::uint64_t shard_count_;
  double ttl_seconds_;
  HashKeys map_keys_;  // of every map; kept here, apart from the shards' locks
  ShardArray shards_;
};

}  // namespace vesk
