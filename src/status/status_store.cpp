#include "status/status_store.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "module/errors.hpp"

namespace vesk {
namespace {

// Destroys removed records with the interpreter lock held and no native lock,
// so their results are released at once rather than queued.
void destroy_records(std::vector<TaskStatusDict>& doomed, Region& region) {
  if (!doomed.empty()) region.with_interpreter_lock([&] { doomed.clear(); });
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

StatusStore::ShardArray::ShardArray(std::uint64_t count) {
  if (count > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(Shard)) {
    throw std::bad_array_new_length();
  }
  // sizeof(Shard) is a multiple of its alignment, as aligned_alloc requires.
  shards_ = static_cast<Shard*>(std::aligned_alloc(alignof(Shard), count * sizeof(Shard)));
  if (shards_ == nullptr) throw std::bad_alloc();
  try {
    for (; built_ < count; ++built_) new (&shards_[built_]) Shard();
  } catch (...) {
    destroy();
    throw;
  }
}

void StatusStore::ShardArray::destroy() noexcept {
  while (built_ > 0) shards_[--built_].~Shard();
  std::free(shards_);
  shards_ = nullptr;
}

StatusStore::StatusStore(std::uint64_t shard_count, std::uint64_t ttl_seconds)
    : shard_count_(shard_count),
      ttl_seconds_(static_cast<double>(ttl_seconds)),
      shards_(shard_count) {}

std::optional<TaskStatusSnapshot> StatusStore::read(Text task_id, Region& region) const {
  auto guard = shard_for(task_id).records.get(task_id, region.lock_hook());
  if (!guard) return std::nullopt;
  return guard->snapshot();  // built before the guard is released on return
}

std::optional<TaskStatusDict> StatusStore::remove(Text task_id, Region& region) {
  auto gone = shard_for(task_id).records.remove(task_id, region.lock_hook());
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
      // Results are released right here, with the interpreter lock held,
      // rather than queued (which would need memory).
      region.with_interpreter_lock([&] { records.clear(); });
    }, region.lock_hook());
  }
}

std::uint64_t StatusStore::cleanup_expired(std::optional<std::uint64_t> max_cleanup, double now,
                                           Region& region) {
  const std::uint64_t limit = max_cleanup.value_or(std::numeric_limits<std::uint64_t>::max());
  std::uint64_t removed = 0;
  for (std::uint64_t i = 0; i < shard_count_ && removed < limit; ++i) {
    removed += cleanup_shard(shards_[i], limit - removed, now, region);
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
  // Plain less-than: a NaN key is neither earlier nor later than any other.
  std::stable_sort(by_age.begin(), by_age.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
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
