// ShardedMap: a concurrent map from string ids to values, split into shards
// that each pair one reader-writer lock with one FlatTable.
//
// How is a key's shard chosen?
//   hash = hash_id(k0, k1, key) under the map's own keys. The shard is
//   (hash << 7) >> (64 - log2(N)): the log2(N) bits just below the 7 tag bits.
//   The shard's table reuses the same hash, taking its tag from the top 7 bits
//   and its probe start from the low bits, so no bit range does double duty.
//
// In what order are locks taken?
//   An operation locks only its key's shard (read_shard: the shard named).
//   Whole-map operations (retain_into, for_each, len) visit shards 0..N-1 and release each lock before taking
//   the next. No thread ever holds two shard locks of one map, so the map
//   alone cannot deadlock.
//
// What happens when a lock is busy?
//   Every acquisition first tries the lock without waiting. Only if that
//   fails does it call hook.before_blocking() and then wait. The Python layer
//   gives up the interpreter lock in that hook, so a thread waiting for a
//   shard never blocks a thread that holds the shard and wants the
//   interpreter lock.
//
// What do for_each and len see?
//   Not a snapshot. Each shard is read consistently under its own lock, but
//   different shards are read at different moments. With writers running,
//   iteration may see key B (inserted into a later shard) without key A
//   (removed from an earlier shard after it was visited), a combination the
//   map never held at once; len likewise may match no single instant.
//
// Are locks reentrant?
//   No. A ReadGuard holds its shard's lock while alive: a thread must drop
//   every guard it holds on a map before it writes that map again, or it
//   waits for itself. Callbacks (retain_into's predicate, for_each's
//   function, read_shard's) run under a shard lock and must
//   not touch the map otherwise.
//
// Where are values destroyed?
//   Outside the locks. Values may own Python references whose release runs
//   arbitrary code, possibly code that uses this map. insert and remove hand
//   the old value back to the caller; retain_into moves the rejected entries
//   out for the caller to destroy after the locks; clear swaps each
//   shard's table out under the lock and destroys it after. A moved-from
//   value must own nothing, since table growth destroys moved-from values
//   under the lock.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "acquire.hpp"
#include "flat_table.hpp"
#include "hash_keys.hpp"

namespace vesk {

// Access to one value under its shard's lock. Empty when the key was absent.
template <class Lock, class T>
class LockedValue {
 public:
  LockedValue() noexcept = default;
  LockedValue(Lock lock, T* value) noexcept : lock_(std::move(lock)), value_(value) {}

  LockedValue(LockedValue&& other) noexcept
      : lock_(std::move(other.lock_)), value_(std::exchange(other.value_, nullptr)) {}

  LockedValue& operator=(LockedValue&& other) noexcept {
    if (this != &other) {
      lock_ = std::move(other.lock_);
      value_ = std::exchange(other.value_, nullptr);
    }
    return *this;
  }

  LockedValue(const LockedValue&) = delete;
  LockedValue& operator=(const LockedValue&) = delete;

  explicit operator bool() const noexcept { return value_ != nullptr; }
  T& operator*() const noexcept { return *value_; }
  T* operator->() const noexcept { return value_; }

  // Drops the lock now; the guard becomes empty.
  void release() noexcept {
    value_ = nullptr;
    if (lock_.owns_lock()) {
      lock_.unlock();
    }
  }

 private:
  Lock lock_;
  T* value_ = nullptr;
};

template <class V>
class ShardedMap {
  using SharedLock = std::shared_lock<std::shared_mutex>;
  using ExclusiveLock = std::unique_lock<std::shared_mutex>;
  using Table = FlatTable<V, IdHasher>;

 public:
  using ReadGuard = LockedValue<SharedLock, const V>;
  using Entry = std::pair<std::string, V>;

  ShardedMap() : ShardedMap(default_shard_count(), next_hash_keys()) {}

  // Throws std::invalid_argument unless shard_count is a power of two > 1.
  ShardedMap(std::size_t shard_count, HashKeys keys)
      : keys_(keys), shift_(64 - checked_shard_bits(shard_count)), shard_count_(shard_count) {
    shards_ = std::make_unique<Shard[]>(shard_count);
    for (std::size_t i = 0; i < shard_count; ++i) {
      shards_[i].table = Table(IdHasher{keys});
    }
  }

  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  std::size_t shard_count() const noexcept { return shard_count_; }

  // The map's hash of a key, for a caller that sorts keys by shard before it
  // looks them up (shard_of, read_shard) and would otherwise hash each twice.
  // It is valid only in maps built with the same hash keys as the one that
  // made it: the type does not record which, and find checks only the shard.
  class KeyHash {
   public:
    std::uint64_t value() const noexcept { return value_; }

   private:
    friend class ShardedMap;
    explicit KeyHash(std::uint64_t value) noexcept : value_(value) {}
    std::uint64_t value_;
  };

  KeyHash hash(std::string_view key) const noexcept { return KeyHash(hash_of(key)); }

  // hash_id(0, 0, key) and the hash of key in any map built with `keys`,
  // computed side by side.
  static std::pair<std::uint64_t, KeyHash> hash_with_unkeyed(HashKeys keys, std::string_view key) noexcept {
    const IdHashPair both = hash_id_pair(keys.k0, keys.k1, key);
    return {both.unkeyed, KeyHash(both.keyed)};
  }

  // The shard that holds (or would hold) a key of this hash.
  std::size_t shard_of(KeyHash key_hash) const noexcept { return shard_index(key_hash.value()); }

  // Lookups in one shard, valid while read_shard holds its shared lock.
  class ShardReader {
   public:
    // The value of `key`, or nullptr. The hash must be hash(key) and name
    // this shard.
    const V* find(std::string_view key, KeyHash key_hash) const {
      if (map_.shard_index(key_hash.value()) != index_) {
        throw std::logic_error("a key was looked up in a shard that does not hold it");
      }
      return table_.find(key, key_hash.value());
    }

    // A hint that a key of this hash is about to be looked up here: starts
    // loading where its probe starts, without waiting for it.
    void prefetch(KeyHash key_hash) const noexcept { table_.prefetch_probe_start(key_hash.value()); }

   private:
    friend class ShardedMap;
    ShardReader(const ShardedMap& map, std::size_t index, const Table& table) noexcept
        : map_(map), index_(index), table_(table) {}

    const ShardedMap& map_;
    std::size_t index_;
    const Table& table_;
  };

  // Calls f(const ShardReader&) under one hold of the shared lock of shard
  // `index`, for a caller that has many keys of one shard to look up: one
  // lock for all of them, and its loads are not fenced off from each other
  // by a lock operation per key. f must not touch the map otherwise.
  template <class F, class Hook = NoWaitHook>
  void read_shard(std::size_t index, F&& f, Hook&& hook = {}) const {
    const Shard& shard = shards_[index];
    auto lock = acquire_lock<SharedLock>(shard.mutex, hook);
    f(ShardReader(*this, index, shard.table));
  }

  template <class Hook = NoWaitHook>
  ReadGuard get(std::string_view key, Hook&& hook = {}) const {
    return get_hashed(key, hash(key), hook);
  }

  // get() with the key's hash already taken.
  template <class Hook = NoWaitHook>
  ReadGuard get_hashed(std::string_view key, KeyHash key_hash, Hook&& hook = {}) const {
    const std::uint64_t hash = key_hash.value();
    const Shard& shard = shard_for(hash);
    auto lock = acquire_lock<SharedLock>(shard.mutex, hook);
    const V* value = shard.table.find(key, hash);
    if (value == nullptr) {
      return ReadGuard();  // `lock` unlocks on return
    }
    return ReadGuard(std::move(lock), value);
  }

  // Stores `value` under `key`; returns the value it replaced, for the caller
  // to destroy outside the lock. Allocates the key string only when the key
  // is new.
  template <class Hook = NoWaitHook>
  std::optional<V> insert(std::string_view key, V value, Hook&& hook = {}) {
    return insert_hashed(key, hash(key), std::move(value), hook);
  }

  // insert() with the key's hash already taken.
  template <class Hook = NoWaitHook>
  std::optional<V> insert_hashed(std::string_view key, KeyHash key_hash, V&& value, Hook&& hook = {}) {
    const std::uint64_t hash = key_hash.value();
    Shard& shard = shard_for(hash);
    auto lock = acquire_lock<ExclusiveLock>(shard.mutex, hook);
    return shard.table.insert_or_replace(key, hash, std::move(value));
  }

  template <class Hook = NoWaitHook>
  std::optional<Entry> remove(std::string_view key, Hook&& hook = {}) {
    return remove_hashed(key, hash(key), hook);
  }

  // remove() with the key's hash already taken.
  template <class Hook = NoWaitHook>
  std::optional<Entry> remove_hashed(std::string_view key, KeyHash key_hash, Hook&& hook = {}) {
    const std::uint64_t hash = key_hash.value();
    Shard& shard = shard_for(hash);
    auto lock = acquire_lock<ExclusiveLock>(shard.mutex, hook);
    return shard.table.remove(key, hash);
  }

  // Removes `key` only if pred(const V&) holds for its value; the test and the
  // removal are one step under the shard's exclusive lock. pred runs under
  // that lock and must not touch the map.
  template <class Pred, class Hook = NoWaitHook>
  std::optional<Entry> remove_if(std::string_view key, Pred&& pred, Hook&& hook = {}) {
    const std::uint64_t hash = hash_of(key);
    Shard& shard = shard_for(hash);
    auto lock = acquire_lock<ExclusiveLock>(shard.mutex, hook);
    const V* value = shard.table.find(key, hash);
    if (value == nullptr || !pred(*value)) {
      return std::nullopt;
    }
    return shard.table.remove(key, hash);
  }

  // Removes every entry for which pred(const std::string&, V&) is false,
  // shard by shard, moving them to the end of `removed` for the caller to
  // destroy after every lock is released.
  template <class Pred, class Hook = NoWaitHook>
  void retain_into(Pred&& pred, std::vector<Entry>& removed, Hook&& hook = {}) {
    for (std::size_t i = 0; i < shard_count_; ++i) {
      auto lock = acquire_lock<ExclusiveLock>(shards_[i].mutex, hook);
      shards_[i].table.retain(pred, removed);
    }
  }

  // Empties the map shard by shard without allocating, so it cannot fail:
  // each shard's table is swapped for an empty one under the shard's lock,
  // and the old table is handed to dispose(table&) after the lock is released
  // (its entries die with it, or earlier if dispose clears it).
  template <class Dispose, class Hook = NoWaitHook>
  void take_each_shard(Dispose&& dispose, Hook&& hook = {}) {
    for (std::size_t i = 0; i < shard_count_; ++i) {
      Table taken(IdHasher{keys_});
      {
        auto lock = acquire_lock<ExclusiveLock>(shards_[i].mutex, hook);
        taken.swap(shards_[i].table);
      }
      dispose(taken);
    }
  }

  // Removes every entry, destroying them outside the locks; never fails.
  template <class Hook = NoWaitHook>
  void clear(Hook&& hook = {}) {
    take_each_shard([](Table&) {}, hook);
  }

  // Calls f(const std::string&, const V&) for every entry, shard by shard.
  template <class F, class Hook = NoWaitHook>
  void for_each(F&& f, Hook&& hook = {}) const {
    for (std::size_t i = 0; i < shard_count_; ++i) {
      auto lock = acquire_lock<SharedLock>(shards_[i].mutex, hook);
      if (!shards_[i].table.empty()) {
        shards_[i].table.for_each(f);
      }
    }
  }

  // Number of entries, summed shard by shard (see the contract above).
  template <class Hook = NoWaitHook>
  std::size_t len(Hook&& hook = {}) const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_count_; ++i) {
      auto lock = acquire_lock<SharedLock>(shards_[i].mutex, hook);
      total += shards_[i].table.size();
    }
    return total;
  }

 private:
  // 128 bytes covers the adjacent-line prefetch pairs of current x86 cores,
  // so two shards' locks never share what the cache moves as one unit.
  struct alignas(128) Shard {
    mutable std::shared_mutex mutex;
    Table table;
  };

  static int checked_shard_bits(std::size_t shard_count) {
    if (shard_count <= 1 || !std::has_single_bit(shard_count)) {
      throw std::invalid_argument("shard count must be a power of two greater than 1");
    }
    return std::countr_zero(shard_count);
  }

  std::uint64_t hash_of(std::string_view key) const noexcept { return hash_id(keys_.k0, keys_.k1, key); }

  std::size_t shard_index(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash << 7) >> shift_);
  }

  Shard& shard_for(std::uint64_t hash) noexcept { return shards_[shard_index(hash)]; }
  const Shard& shard_for(std::uint64_t hash) const noexcept { return shards_[shard_index(hash)]; }

  HashKeys keys_;
  int shift_;
  std::size_t shard_count_;
  std::unique_ptr<Shard[]> shards_;
};

}  // namespace vesk
