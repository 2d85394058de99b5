#include "status/status_store.hpp"

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <tuple>
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

StatusStore::ShardArray::ShardArray(std::uint64_t count, HashKeys keys) {
  if (count > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(Shard)) {
    throw std::bad_array_new_length();
  }
  // sizeof(Shard) is a multiple of its alignment, as aligned_alloc requires.
  shards_ = static_cast<Shard*>(allocate_aligned(alignof(Shard), count * sizeof(Shard)));
  if (shards_ == nullptr) throw std::bad_alloc();
  try {
    for (; built_ < count; ++built_) new (&shards_[built_]) Shard(keys);
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

StatusStore::StatusStore(std::uint64_t shard_count, std::optional<std::uint64_t> ttl_seconds)
    : shard_count_(shard_count),
      ttl_seconds_(ttl_seconds ? std::optional<double>(static_cast<double>(*ttl_seconds)) : std::nullopt),
      table_keys_(next_hash_keys()),
      shards_(shard_count, table_keys_) {}

template <class Copy>
bool StatusStore::copy_record(Text task_id, Region& region, Copy&& copy) const {
  const auto [shard_index, hash] = locate(task_id);
  const Shard& shard = shards_[shard_index];
  for (;;) {
    auto lock = acquire_exclusive(shard.mutex, region.lock_hook());
    const TaskStatusDict* record = shard.records.find(task_id, hash);
    if (record == nullptr) return false;
    // Copying a result takes a reference, which needs the interpreter lock:
    // if it was given up to wait for the shard, take it back and read again.
    if (!record->has_result() || !region.released()) {
      copy(*record);
      return true;
    }
    lock.unlock();
    region.reacquire();
  }
}

std::optional<RecordCopy> StatusStore::read(Text task_id, Region& region) const {
  std::optional<RecordCopy> copied;
  copy_record(task_id, region, [&](const TaskStatusDict& record) { copied.emplace(record); });
  return copied;
}

StatusStore::Groups StatusStore::group_by_shard(std::span<const Text> task_ids) const {
  // A counting sort by shard.
  const std::size_t count = task_ids.size();
  Groups groups{std::vector<std::uint64_t>(count), std::vector<std::uint32_t>(count),
                std::vector<std::size_t>(shard_count_ + 1, 0)};
  std::vector<std::uint64_t> shard_of(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::tie(shard_of[i], groups.hashes[i]) = locate(task_ids[i]);
    ++groups.starts[shard_of[i] + 1];
  }
  for (std::size_t s = 1; s < groups.starts.size(); ++s) groups.starts[s] += groups.starts[s - 1];
  std::vector<std::size_t> next(groups.starts.begin(), groups.starts.end() - 1);
  for (std::size_t i = 0; i < count; ++i) groups.order[next[shard_of[i]]++] = static_cast<std::uint32_t>(i);
  return groups;
}

RecordCopies StatusStore::read_each(std::span<const Text> task_ids, Region& region) const {
  const Groups groups = group_by_shard(task_ids);
  RecordCopies records(task_ids.size());
  std::vector<std::uint32_t> with_result;  // read again with the interpreter lock
  for (std::uint64_t s = 0; s < shard_count_; ++s) {
    const auto ids = groups.items(s);
    if (ids.empty()) continue;
    const Table& table = shards_[s].records;
    auto lock = acquire_exclusive(shards_[s].mutex, region.lock_hook());
    // Three stages 8 ids apart: load the probe start, find the record and
    // load its block, copy it out (gain: the get_status_batch rows of
    // bench/run.py).
    const TaskStatusDict* found[32];
    run_pipeline<8>(
        ids.size(), [&](std::size_t k) { table.prefetch_probe_start(groups.hashes[ids[k]]); },
        [&](std::size_t k) {
          const TaskStatusDict* record = table.find(task_ids[ids[k]], groups.hashes[ids[k]]);
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
  }
  for (const std::uint32_t i : with_result) {
    copy_record(task_ids[i], region, [&](const TaskStatusDict& record) { records.set(i, record); });
  }
  return records;
}

std::optional<TaskStatusDict> StatusStore::remove(Text task_id, Region& region) {
  const auto [shard_index, hash] = locate(task_id);
  Shard& shard = shards_[shard_index];
  auto lock = acquire_exclusive(shard.mutex, region.lock_hook());
  auto gone = shard.records.remove(task_id, hash);
  if (!gone) return std::nullopt;
  return std::move(gone->second);
}

std::uint64_t StatusStore::count(Region& region) const {
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < shard_count_; ++i) {
    auto lock = acquire_exclusive(shards_[i].mutex, region.lock_hook());
    total += shards_[i].records.size();
  }
  return total;
}

void StatusStore::clear(Region& region) {
  for (std::uint64_t i = 0; i < shard_count_; ++i) {
    Table taken(IdHasher{table_keys_});  // allocates nothing
    {
      auto lock = acquire_exclusive(shards_[i].mutex, region.lock_hook());
      taken.swap(shards_[i].records);
      shards_[i].expiry.clear();
    }
    // With the interpreter lock held, results are set aside in this
    // thread's list, without a mutex per record.
    region.with_interpreter_lock([&] { taken.clear(); });
  }
}

std::uint64_t StatusStore::cleanup_expired(std::optional<std::uint64_t> max_cleanup, double now,
                                           Region& region) {
  constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t removed = 0;
  for (std::uint64_t i = 0; i < shard_count_ && removed < max_cleanup.value_or(kUnlimited); ++i) {
    if (!shards_[i].expiry.may_be_due(now)) continue;
    const auto limit = max_cleanup ? std::optional<std::uint64_t>(*max_cleanup - removed) : std::nullopt;
    removed += cleanup_shard(shards_[i], limit, now, region);
  }
  return removed;
}

std::uint64_t StatusStore::cleanup_shard(Shard& shard, std::optional<std::uint64_t> limit, double now,
                                         Region& region) {
  const double ttl = ttl_seconds_.value_or(0);  // entries exist only with a ttl
  std::vector<Table::Entry> doomed;
  {
    auto lock = acquire_exclusive(shard.mutex, region.lock_hook());
    if (!limit && shard.expiry.count_due(now) * 2 >= shard.expiry.size()) {
      // Most entries are due: one pass over the table removes every record
      // that is expired itself (those the due entries name), then the due
      // entries go at once. If the pass fails for lack of memory, no entry
      // was dropped: a later call still reaches every record left. (Gain:
      // the "all expired" rows of bench/run.py.)
      shard.records.retain([&](const std::string&, const TaskStatusDict& record) {
        return !record.expired(ttl, now);
      }, doomed);
      shard.expiry.drop_due(now);
    } else {
      while (doomed.size() < limit.value_or(std::numeric_limits<std::uint64_t>::max()) &&
             !shard.expiry.empty() && !(shard.expiry.top().expires_at > now)) {  // NaN pops
        // Room first: once an entry is popped, its record is either removed
        // into `doomed` or kept, and nothing can fail in between.
        if (doomed.size() == doomed.capacity()) doomed.reserve(std::max<std::size_t>(64, 2 * doomed.size()));
        const ExpiryEntry entry = shard.expiry.pop();
        const std::uint64_t hash = shard.records.hasher()(entry.task_id);
        const TaskStatusDict* record = shard.records.find(entry.task_id, hash);
        if (record != nullptr && record->expired(ttl, now)) {
          doomed.push_back(std::move(*shard.records.remove(entry.task_id, hash)));
        }
      }
    }
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
  {
    auto lock = acquire_exclusive(shard.mutex, region.lock_hook());
    shard.records.for_each([&](const std::string& task_id, const TaskStatusDict& record) {
      by_age.emplace_back(record.age_key(), task_id);
    });
  }
  // A total order, as the sort requires: a NaN key goes after every number.
  std::stable_sort(by_age.begin(), by_age.end(), [](const auto& a, const auto& b) {
    return a.first < b.first || (std::isnan(b.first) && !std::isnan(a.first));
  });
  const std::uint64_t n = std::min<std::uint64_t>(by_age.size(), count);
  std::vector<Table::Entry> doomed;
  doomed.reserve(n);  // before the first removal
  {
    auto lock = acquire_exclusive(shard.mutex, region.lock_hook());
    for (std::uint64_t k = 0; k < n; ++k) {
      const std::string& task_id = by_age[k].second;
      if (auto gone = shard.records.remove(task_id, shard.records.hasher()(task_id))) {
        doomed.push_back(std::move(*gone));
      }
    }
  }
  destroy_records(doomed, region);
  return n;
}

}  // namespace vesk
