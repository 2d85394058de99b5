#include "status/status_store.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <malloc.h>
#endif

#include "concurrent/pipeline.hpp"
#include "module/errors.hpp"

namespace vesk {
namespace {

// Destroys removed records with the interpreter lock held and no native lock,
// so their results are set aside in this thread's list rather than in the
// process-wide one (no mutex per record); the frame releases them.
template <class Records>
void destroy_records(Records& doomed, Region& region) {
  if (!doomed.empty()) region.with_interpreter_lock([&] { doomed.clear(); });
}

// Null if the block cannot be had. Windows' C library has no aligned_alloc:
// its aligned blocks come from _aligned_malloc and go back to _aligned_free.
void* allocate_aligned(std::size_t alignment, std::size_t size) noexcept {
#if defined(_WIN32)
  return _aligned_malloc(size, alignment);
#else
  return std::aligned_alloc(alignment, size);
#endif
}

void free_aligned(void* block) noexcept {
#if defined(_WIN32)
  _aligned_free(block);
#else
  std::free(block);
#endif
}

}  // namespace

double wall_clock_seconds() {
  using namespace std::chrono;
  const auto since_epoch = system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) throw Panic("the wall clock reads earlier than the Unix epoch");
  const auto whole = duration_cast<seconds>(since_epoch);
  const auto fraction = duration_cast<nanoseconds>(since_epoch - whole);
  return static_cast<double>(whole.count()) + static_cast<double>(fraction.count()) / 1e9;
}

StatusStore::ShardArray::ShardArray(std::uint64_t count, std::size_t map_shards, HashKeys keys) {
  if (count > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(Shard)) {
    throw std::bad_array_new_length();
  }
  // sizeof(Shard) is a multiple of its alignment, as aligned_alloc requires.
  shards_ = static_cast<Shard*>(allocate_aligned(alignof(Shard), count * sizeof(Shard)));
  if (shards_ == nullptr) throw std::bad_alloc();
  try {
    for (; built_ < count; ++built_) new (&shards_[built_]) Shard(map_shards, keys);
  } catch (...) {
    destroy();
    throw;
  }
}

void StatusStore::ShardArray::destroy() noexcept {
  while (built_ > 0) shards_[--built_].~Shard();
  free_aligned(shards_);
  shards_ = nullptr;
}

namespace {

// Shards per store shard's map: enough that the store has the default number
// of map shards in all, and at least the 2 a map needs.
std::size_t map_shards_for(std::uint64_t store_shards) {
  const std::uint64_t share = default_shard_count() / store_shards;
  return std::max<std::size_t>(2, std::bit_ceil(static_cast<std::size_t>(share)));
}

}  // namespace

StatusStore::StatusStore(std::uint64_t shard_count, std::uint64_t ttl_seconds)
    : shard_count_(shard_count),
      ttl_seconds_(static_cast<double>(ttl_seconds)),
      map_keys_(next_hash_keys()),
      shards_(shard_count, map_shards_for(shard_count), map_keys_) {}

template <class Copy>
bool StatusStore::copy_record(Text task_id, Region& region, Copy&& copy) const {
  for (;;) {
    const auto [shard_index, key_hash] = locate(task_id);
    auto guard = shards_[shard_index].records.get_hashed(task_id, key_hash, region.lock_hook());
    if (!guard) return false;
    // Copying a result takes a reference, which needs the interpreter lock:
    // if it was given up to wait for the shard, take it back and read again.
    if (!guard->has_result() || !region.released()) {
      copy(*guard);
      return true;
    }
    guard.release();
    region.reacquire();
  }
}

std::optional<RecordCopy> StatusStore::read(Text task_id, Region& region) const {
  std::optional<RecordCopy> copied;
  copy_record(task_id, region, [&](const TaskStatusDict& record) { copied.emplace(record); });
  return copied;
}

StatusStore::Groups StatusStore::group_by_shard(std::span<const Text> task_ids) const {
  // A counting sort by group.
  const std::size_t count = task_ids.size();
  Groups groups{shards_[0].records.shard_count(), std::vector<std::optional<Map::KeyHash>>(count),
                std::vector<std::uint32_t>(count), {}};
  groups.starts.assign(shard_count_ * groups.inner + 1, 0);
  std::vector<std::uint32_t> group_of(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto [shard, key_hash] = locate(task_ids[i]);
    groups.hashes[i] = key_hash;
    group_of[i] = static_cast<std::uint32_t>(shard * groups.inner + shards_[shard].records.shard_of(key_hash));
    ++groups.starts[group_of[i] + 1];
  }
  for (std::size_t g = 1; g < groups.starts.size(); ++g) groups.starts[g] += groups.starts[g - 1];
  std::vector<std::size_t> next(groups.starts.begin(), groups.starts.end() - 1);
  for (std::size_t i = 0; i < count; ++i) groups.order[next[group_of[i]]++] = static_cast<std::uint32_t>(i);
  return groups;
}

RecordCopies StatusStore::read_each(std::span<const Text> task_ids, Region& region) const {
  const Groups groups = group_by_shard(task_ids);
  RecordCopies records(task_ids.size());
  std::vector<std::uint32_t> with_result;  // read again with the interpreter lock
  for (std::size_t g = 0; g + 1 < groups.starts.size(); ++g) {
    const auto ids = groups.items(g);
    if (ids.empty()) continue;
    // Three stages 8 ids apart: load the probe start, find the record and
    // load its block, copy it out (gain: the get_status_batch rows of
    // bench/run.py).
    const Map& map = shards_[g / groups.inner].records;
    map.read_shard(g % groups.inner, [&](const Map::ShardReader& reader) {
      const TaskStatusDict* found[32];
      run_pipeline<8>(
          ids.size(), [&](std::size_t k) { reader.prefetch(*groups.hashes[ids[k]]); },
          [&](std::size_t k) {
            const TaskStatusDict* record = reader.find(task_ids[ids[k]], *groups.hashes[ids[k]]);
            if (record != nullptr) record->prefetch();
            found[k % 32] = record;
          },
          [&](std::size_t k) {
            const TaskStatusDict* record = found[k % 32];
            if (record == nullptr) return;
            if (record->has_result() && region.released()) {
              with_result.push_back(ids[k]);
            } else {
              records.set(ids[k], *record);
            }
          });
    }, region.lock_hook());
  }
  for (const std::uint32_t i : with_result) {
    copy_record(task_ids[i], region, [&](const TaskStatusDict& record) { records.set(i, record); });
  }
  return records;
}

std::optional<TaskStatusDict> StatusStore::remove(Text task_id, Region& region) {
  const auto [shard_index, key_hash] = locate(task_id);
  auto gone = shards_[shard_index].records.remove_hashed(task_id, key_hash, region.lock_hook());
  if (!gone) return std::nullopt;
  return std::move(gone->second);
}

std::uint64_t StatusStore::count(Region& region) const {
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < shard_count_; ++i) total += shards_[i].records.len(region.lock_hook());
  return total;
}

void StatusStore::clear(Region& region) {
  // Expiry entries go first: a write stores its record before it pushes the
  // record's entry, so a record that survives (written after its map was
  // emptied) always has its entry pushed after the heap was wiped, and still
  // expires.
  for (std::uint64_t i = 0; i < shard_count_; ++i) {
    auto heap_lock = shards_[i].expiry.lock(region.lock_hook());
    shards_[i].expiry.clear();
  }
  for (std::uint64_t i = 0; i < shard_count_; ++i) {
    shards_[i].records.take_each_shard([&](auto& records) {
      // With the interpreter lock held, results are set aside in this
      // thread's list, without a mutex per record.
      region.with_interpreter_lock([&] { records.clear(); });
    }, region.lock_hook());
  }
}

std::uint64_t StatusStore::cleanup_expired(std::optional<std::uint64_t> max_cleanup, double now,
                                           Region& region) {
  constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t removed = 0;
  for (std::uint64_t i = 0; i < shard_count_ && removed < max_cleanup.value_or(kUnlimited); ++i) {
    if (!shards_[i].expiry.may_be_due(now)) continue;
    removed += max_cleanup ? cleanup_shard(shards_[i], *max_cleanup - removed, now, region)
                           : sweep_shard(shards_[i], now, region);
  }
  return removed;
}

std::uint64_t StatusStore::cleanup_shard(Shard& shard, std::uint64_t limit, double now,
                                         Region& region) {
  std::vector<TaskStatusDict> doomed;
  {
    auto heap_lock = shard.expiry.lock(region.lock_hook());
    while (doomed.size() < limit && !shard.expiry.empty()) {
      if (shard.expiry.top().expires_at > now) break;  // NaN is not later: it pops
      // Room first: once an entry is popped, its record is either removed
      // into `doomed` or kept, and nothing can fail in between.
      if (doomed.size() == doomed.capacity()) doomed.reserve(std::max<std::size_t>(64, 2 * doomed.size()));
      const ExpiryEntry entry = shard.expiry.pop();
      auto gone = shard.records.remove_if(
          entry.task_id,
          [&](const TaskStatusDict& record) { return record.expired(ttl_seconds_, now); },
          region.lock_hook());
      if (gone) doomed.push_back(std::move(gone->second));
    }
  }
  const std::uint64_t removed = doomed.size();
  destroy_records(doomed, region);
  return removed;
}

std::uint64_t StatusStore::sweep_shard(Shard& shard, double now, Region& region) {
  bool mostly_due = false;
  {
    auto heap_lock = shard.expiry.lock(region.lock_hook());
    mostly_due = shard.expiry.count_due(now) * 2 >= shard.expiry.size();
  }
  if (!mostly_due) return cleanup_shard(shard, std::numeric_limits<std::uint64_t>::max(), now, region);
  std::vector<ShardedMap<TaskStatusDict>::Entry> doomed;
  {
    auto heap_lock = shard.expiry.lock(region.lock_hook());
    // Most entries are due: one pass over the map removes every record that
    // is expired itself (those the due entries name), then the due entries
    // go at once. The heap lock is held throughout, so a write's entry is
    // pushed either before the pass (its record is judged) or after the drop
    // (it stays). If the pass fails for lack of memory, no entry was dropped:
    // a later call still reaches every record left. Sweeping rather than
    // popping entry by entry: the "all expired" rows of bench/run.py.
    shard.records.retain_into(
        [&](const std::string&, const TaskStatusDict& record) { return !record.expired(ttl_seconds_, now); },
        doomed, region.lock_hook());
    shard.expiry.drop_due(now);
  }
  const std::uint64_t removed = doomed.size();
  destroy_records(doomed, region);
  return removed;
}

std::uint64_t StatusStore::enforce_max_count(std::uint64_t max_count, Region& region) {
  const std::uint64_t total = count(region);
  if (total <= max_count) return 0;
  const std::uint64_t excess = total - max_count;
  std::uint64_t removed = 0;
  for (std::uint64_t i = 0; i < shard_count_ && removed < excess; ++i) {
    removed += trim_shard(shards_[i], excess - removed, region);
  }
  return removed;
}

std::uint64_t StatusStore::trim_shard(Shard& shard, std::uint64_t count, Region& region) {
  std::vector<std::pair<double, std::string>> by_age;
  shard.records.for_each([&](const std::string& task_id, const TaskStatusDict& record) {
    by_age.emplace_back(record.age_key(), task_id);
  }, region.lock_hook());
  // A total order, as the sort requires: a NaN key goes after every number.
  std::stable_sort(by_age.begin(), by_age.end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (std::isnan(b.first) && !std::isnan(a.first));
  });
  const std::uint64_t n = std::min<std::uint64_t>(by_age.size(), count);
  std::vector<TaskStatusDict> doomed;
  doomed.reserve(n);  // before the first removal
  for (std::uint64_t k = 0; k < n; ++k) {
    if (auto gone = shard.records.remove(by_age[k].second, region.lock_hook())) {
      doomed.push_back(std::move(gone->second));
    }
  }
  destroy_records(doomed, region);
  return n;
}

}  // namespace vesk
