#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "concurrent/sharded_map.hpp"
#include "test_support.hpp"

namespace {

using vesk::HashKeys;
using vesk::ShardedMap;
using vesk::testing::join_or_abort;

constexpr HashKeys kKeys{0x0123456789abcdefULL, 0xfedcba9876543210ULL};

struct WouldBlock : std::exception {};

// Refuses to wait: turns "the lock is busy" into an exception.
struct ThrowIfBlocking {
  void before_blocking() { throw WouldBlock(); }
};

struct CountingHook {
  std::atomic<int>* calls;
  void before_blocking() { calls->fetch_add(1); }
};

// Tells the test thread that the caller found the lock busy.
struct SignalHook {
  std::promise<void>* about_to_block;
  void before_blocking() { about_to_block->set_value(); }
};

// A key other than `avoid` that lands in (or, with same = false, outside)
// the shard of `anchor`.
template <class V>
std::string key_near(const ShardedMap<V>& map, const std::string& anchor, bool same,
                     const std::string& avoid = "") {
  for (int i = 0;; ++i) {
    std::string key = "probe-" + std::to_string(i);
    if (key != anchor && key != avoid && (map.shard_of(map.hash(key)) == map.shard_of(map.hash(anchor))) == same) {
      return key;
    }
  }
}

TEST(ShardedMapCreate, RejectsShardCountsThatAreNotPowersOfTwoAboveOne) {
  EXPECT_THROW(ShardedMap<int>(0, kKeys), std::invalid_argument);
  EXPECT_THROW(ShardedMap<int>(1, kKeys), std::invalid_argument);
  EXPECT_THROW(ShardedMap<int>(6, kKeys), std::invalid_argument);
  EXPECT_EQ(ShardedMap<int>(2, kKeys).shard_count(), 2u);
  EXPECT_EQ(ShardedMap<int>().shard_count(), vesk::default_shard_count());
}

TEST(ShardedMapShards, ShardIsTheBitsJustBelowTheTag) {
  for (std::size_t bits : {1, 3, 6}) {
    ShardedMap<int> map(std::size_t{1} << bits, kKeys);
    std::set<std::size_t> used;
    for (int i = 0; i < 2000; ++i) {
      const std::string key = "task-" + std::to_string(i);
      const std::uint64_t hash = vesk::hash_id(kKeys.k0, kKeys.k1, key);
      const std::size_t expected = (hash >> (57 - bits)) & ((std::size_t{1} << bits) - 1);
      ASSERT_EQ(map.shard_of(map.hash(key)), expected) << key;
      used.insert(expected);
    }
    EXPECT_EQ(used.size(), std::size_t{1} << bits);
  }
}

TEST(ShardedMapBasics, AbsentKeyYieldsNothingAndChangesNothing) {
  ShardedMap<int> map(8, kKeys);
  map.insert(std::string("present"), 1);
  EXPECT_FALSE(map.get("absent"));
  EXPECT_FALSE(map.remove("absent").has_value());
  EXPECT_EQ(map.len(), 1u);
  EXPECT_EQ(*map.get("present"), 1);
}

TEST(ShardedMapBasics, InsertOfPresentKeyReturnsOldValueAndKeepsLength) {
  ShardedMap<std::string> map(4, kKeys);
  EXPECT_FALSE(map.insert(std::string("a"), "first").has_value());
  const std::string key = "a";
  const auto old = map.insert(std::string_view(key), "second");
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(*old, "first");
  EXPECT_EQ(map.len(), 1u);
  EXPECT_EQ(*map.get("a"), "second");
  const auto removed = map.remove("a");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(removed->first, "a");
  EXPECT_EQ(removed->second, "second");
  EXPECT_EQ(map.len(), 0u);
}

TEST(ShardedMapBasics, RetainAndClearLeaveLenAndIterationConsistent) {
  ShardedMap<int> map(8, kKeys);
  for (int i = 0; i < 500; ++i) map.insert("k" + std::to_string(i), i);
  std::vector<ShardedMap<int>::Entry> rejected;
  map.retain_into([](const std::string&, int& v) { return v % 5 == 0; }, rejected);
  EXPECT_EQ(map.len(), 100u);
  EXPECT_EQ(rejected.size(), 400u);
  std::map<std::string, int> seen;
  map.for_each([&](const std::string& key, const int& v) { seen.emplace(key, v); });
  ASSERT_EQ(seen.size(), 100u);
  for (const auto& [key, v] : seen) {
    EXPECT_EQ(v % 5, 0);
    EXPECT_EQ(key, "k" + std::to_string(v));
  }

  map.clear();
  EXPECT_EQ(map.len(), 0u);
  int visits = 0;
  map.for_each([&](const std::string&, const int&) { ++visits; });
  EXPECT_EQ(visits, 0);
  map.insert(std::string("after"), 9);
  EXPECT_EQ(map.len(), 1u);
  EXPECT_EQ(*map.get("after"), 9);
}

TEST(ShardedMapBasics, GuardsMoveTheirLock) {
  ShardedMap<int> map(2, kKeys);
  map.insert(std::string("a"), 1);
  auto guard = map.get("a");
  auto moved = std::move(guard);
  EXPECT_FALSE(guard);
  ASSERT_TRUE(moved);
  EXPECT_THROW(map.insert(std::string("a"), 2, ThrowIfBlocking{}), WouldBlock);
  moved.release();
  EXPECT_FALSE(moved);
  map.insert(std::string("a"), 2, ThrowIfBlocking{});
  EXPECT_EQ(*map.get("a", ThrowIfBlocking{}), 2);
}

// --- locking and the hook -------------------------------------------------

TEST(ShardedMapHook, NotCalledWithoutContention) {
  ShardedMap<int> map(4, kKeys);
  std::atomic<int> calls{0};
  CountingHook hook{&calls};
  map.insert(std::string("a"), 1, hook);
  map.insert(std::string_view("b"), 2, hook);
  (void)map.get("a", hook);
  (void)map.remove("b", hook);
  (void)map.len(hook);
  map.for_each([](const std::string&, const int&) {}, hook);
  std::vector<ShardedMap<int>::Entry> rejected;
  map.retain_into([](const std::string&, int&) { return true; }, rejected, hook);
  map.read_shard(0, [](const ShardedMap<int>::ShardReader&) {}, hook);
  EXPECT_EQ(calls.load(), 0);
}

TEST(ShardedMapHook, CalledBeforeWaitingForAHeldShardAndOnlyThen) {
  ShardedMap<int> map(8, kKeys);
  map.insert(std::string("held"), 1);
  const std::string same_shard = key_near(map, "held", true);
  const std::string other_shard = key_near(map, "held", false);
  map.insert(std::string(same_shard), 2);

  auto guard = map.get("held");

  // Another shard is not affected by the held lock.
  std::atomic<int> calls{0};
  auto elsewhere = std::async(std::launch::async, [&] {
    map.insert(std::string(other_shard), 3, CountingHook{&calls});
  });
  join_or_abort(elsewhere);
  EXPECT_EQ(calls.load(), 0);

  // The same shard: the hook runs, then the writer waits for the guard.
  std::promise<void> about_to_block;
  auto blocked = std::async(std::launch::async, [&] {
    return map.insert(std::string(same_shard), 4, SignalHook{&about_to_block});
  });
  auto hook_ran = about_to_block.get_future();
  ASSERT_EQ(hook_ran.wait_for(vesk::testing::kDeadlockBound), std::future_status::ready);
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout)
      << "writer finished while the shard was held";
  guard.release();
  join_or_abort(blocked);
  EXPECT_EQ(blocked.get(), 2);
}

TEST(ShardedMapHook, ReadersShareAShardWritersWait) {
  ShardedMap<int> map(8, kKeys);
  map.insert(std::string("a"), 1);
  const std::string neighbour = key_near(map, "a", true);
  map.insert(std::string(neighbour), 2);
  auto reading = map.get("a");

  auto reader = std::async(std::launch::async, [&] { return *map.get(neighbour, ThrowIfBlocking{}); });
  join_or_abort(reader);
  EXPECT_EQ(reader.get(), 2);

  auto writer = std::async(std::launch::async, [&] { map.insert(std::string(neighbour), 3, ThrowIfBlocking{}); });
  join_or_abort(writer);
  EXPECT_THROW(writer.get(), WouldBlock);
}

TEST(ShardedMapHook, EmptyGuardsHoldNoLock) {
  ShardedMap<int> map(8, kKeys);
  map.insert(std::string("a"), 1);
  const std::string absent = key_near(map, "a", true);
  auto missing_read = map.get(absent);
  ASSERT_FALSE(missing_read);
  auto writer = std::async(std::launch::async, [&] { map.insert(std::string("a"), 2, ThrowIfBlocking{}); });
  join_or_abort(writer);
  EXPECT_NO_THROW(writer.get());
}

TEST(ShardedMapHook, IterationReleasesEachShardBeforeLockingTheNext) {
  ShardedMap<int> map(8, kKeys);
  map.insert(std::string("a"), 1);
  const std::string other = key_near(map, "a", false);
  map.insert(std::string(other), 2);
  const bool a_first = map.shard_of(map.hash("a")) < map.shard_of(map.hash(other));
  const std::string first = a_first ? "a" : other;
  const std::string second = a_first ? other : "a";

  int visits = 0;
  bool earlier_shard_free = false;
  map.for_each([&](const std::string& key, const int&) {
    ++visits;
    if (key != second) return;
    // Reading the later shard; the earlier one must already be unlocked.
    auto writer = std::async(std::launch::async, [&] { map.insert(std::string(first), 10, ThrowIfBlocking{}); });
    join_or_abort(writer);
    try {
      writer.get();
      earlier_shard_free = true;
    } catch (const WouldBlock&) {
    }
  });
  EXPECT_EQ(visits, 2);
  EXPECT_TRUE(earlier_shard_free);
  EXPECT_EQ(*map.get(first), 10);
}

// --- values are destroyed outside the shard locks -------------------------

// A value whose destruction calls back into its map, as a Python finalizer
// could. The callback refuses to wait, so a lock still held by the destroying
// thread is counted instead of deadlocking.
struct ReentrantValue {
  struct Context {
    ShardedMap<ReentrantValue>* map = nullptr;
    int destroyed = 0;
    int destroyed_under_lock = 0;
  };

  ReentrantValue() = default;
  ReentrantValue(Context* context, std::string key) : context_(context), key_(std::move(key)) {}
  ReentrantValue(ReentrantValue&& other) noexcept
      : context_(std::exchange(other.context_, nullptr)), key_(std::move(other.key_)) {}
  ReentrantValue& operator=(ReentrantValue&& other) noexcept {
    if (this != &other) {
      finish();
      context_ = std::exchange(other.context_, nullptr);
      key_ = std::move(other.key_);
    }
    return *this;
  }
  ~ReentrantValue() { finish(); }

 private:
  void finish() noexcept {
    Context* context = std::exchange(context_, nullptr);
    if (context == nullptr || context->map == nullptr) return;
    ++context->destroyed;
    try {
      (void)context->map->get(key_, ThrowIfBlocking{});
      (void)context->map->len(ThrowIfBlocking{});
    } catch (const WouldBlock&) {
      ++context->destroyed_under_lock;
    }
  }

  Context* context_ = nullptr;
  std::string key_;
};

TEST(ShardedMapDestruction, ValuesLeavingTheMapAreDestroyedAfterTheLockIsReleased) {
  ReentrantValue::Context context;
  ShardedMap<ReentrantValue> map(4, kKeys);
  context.map = &map;
  auto fill = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const std::string key = "v" + std::to_string(i);
      map.insert(std::string(key), ReentrantValue(&context, key));
    }
  };
  fill(200);  // grows the tables, destroying moved-from values under the lock

  {
    std::vector<ShardedMap<ReentrantValue>::Entry> rejected;
    map.retain_into([](const std::string& key, ReentrantValue&) { return std::stoi(key.substr(1)) % 2 == 0; },
                    rejected);
  }
  EXPECT_EQ(context.destroyed, 100);

  map.insert(std::string("v0"), ReentrantValue(&context, "v0"));  // the old v0 comes back
  EXPECT_EQ(context.destroyed, 101);
  ASSERT_TRUE(map.remove("v2").has_value());
  EXPECT_EQ(context.destroyed, 102);
  map.clear();
  EXPECT_EQ(map.len(), 0u);
  EXPECT_EQ(context.destroyed, 201);
  EXPECT_EQ(context.destroyed_under_lock, 0);
  context.map = nullptr;
}

// --- many threads ---------------------------------------------------------

struct Record {
  std::string key;  // the key it was stored under, to catch mixed-up slots
  long value = 0;
};

struct WorkerTally {
  std::unordered_map<std::string, long> own;  // this thread's keys and values
  long shared_added = 0;
  long shared_removed = 0;
  int failures = 0;
};

constexpr int kThreads = 8;
constexpr int kOwnKeys = 48;
constexpr int kSharedKeys = 16;

void run_worker(ShardedMap<Record>& map, int id, int iterations, std::barrier<>& start,
                WorkerTally& tally) {
  std::mt19937 rng(static_cast<unsigned>(id) * 7919u + 1u);
  auto own_key = [&] { return "own-" + std::to_string(id) + "-" + std::to_string(rng() % kOwnKeys); };
  auto shared_key = [&] { return "shared-" + std::to_string(rng() % kSharedKeys); };
  auto check = [&](bool ok) { tally.failures += ok ? 0 : 1; };
  long next_value = 1;
  start.arrive_and_wait();

  for (int step = 0; step < iterations; ++step) {
    switch (rng() % 12) {
      case 0:
      case 1: {
        const std::string key = own_key();
        const long value = next_value++;
        auto previous = (step % 2 == 0) ? map.insert(std::string(key), Record{key, value})
                                        : map.insert(std::string_view(key), Record{key, value});
        auto it = tally.own.find(key);
        check(previous.has_value() == (it != tally.own.end()));
        if (previous && it != tally.own.end()) check(previous->value == it->second && previous->key == key);
        tally.own[key] = value;
        break;
      }
      case 2: {
        const std::string key = own_key();
        auto removed = map.remove(key);
        auto it = tally.own.find(key);
        check(removed.has_value() == (it != tally.own.end()));
        if (removed && it != tally.own.end()) {
          check(removed->first == key && removed->second.value == it->second);
          tally.own.erase(it);
        }
        break;
      }
      case 3: {
        const std::string key = own_key();
        auto guard = map.get(key);
        auto it = tally.own.find(key);
        check(static_cast<bool>(guard) == (it != tally.own.end()));
        if (guard && it != tally.own.end()) check(guard->value == it->second && guard->key == key);
        break;
      }
      case 4:
      case 5: {
        // Shared keys: what was put in equals what was taken out plus what is left.
        const std::string key = shared_key();
        const long value = 1 + static_cast<long>(rng() % 3);
        auto replaced = map.insert(std::string(key), Record{key, value});
        tally.shared_added += value;
        if (replaced) {
          check(replaced->key == key);
          tally.shared_removed += replaced->value;
        }
        break;
      }
      case 6: {
        const std::string key = shared_key();
        if (auto removed = map.remove_if(key, [](const Record& record) { return record.value % 2 == 0; })) {
          check(removed->second.key == key && removed->second.value % 2 == 0);
          tally.shared_removed += removed->second.value;
        }
        break;
      }
      case 7: {
        const std::string key = shared_key();
        if (auto removed = map.remove(key)) {
          check(removed->first == key && removed->second.key == key);
          tally.shared_removed += removed->second.value;
        }
        break;
      }
      case 8: {
        const std::string key = shared_key();
        if (auto guard = map.get(key)) check(guard->key == key);
        break;
      }
      case 9:
        check(map.len() <= static_cast<std::size_t>(kThreads * kOwnKeys + kSharedKeys));
        break;
      case 10:
        if (step % 8 == 0) {
          map.for_each([&](const std::string& key, const Record& record) { check(record.key == key); });
        }
        break;
      case 11:
        if (step % 8 == 0) {
          // Drops shared records whose value is a multiple of 5; the predicate
          // runs under the shard lock, so the value it books is final.
          std::vector<ShardedMap<Record>::Entry> rejected;
          map.retain_into([&](const std::string& key, Record& record) {
            if (key.rfind("shared-", 0) == 0 && record.value % 5 == 0) {
              tally.shared_removed += record.value;
              return false;
            }
            return true;
          }, rejected);
        }
        break;
    }
  }
}

TEST(ShardedMapStress, ConcurrentWritersKeepExactTotals) {
  constexpr int kIterations = 20000;
  ShardedMap<Record> map(8, kKeys);
  std::barrier<> start(kThreads);
  std::vector<WorkerTally> tallies(kThreads);
  std::vector<std::future<void>> workers;
  for (int id = 0; id < kThreads; ++id) {
    workers.push_back(std::async(std::launch::async, [&, id] {
      run_worker(map, id, kIterations, start, tallies[id]);
    }));
  }
  join_or_abort(workers);
  for (auto& worker : workers) worker.get();

  std::size_t own_total = 0;
  long added = 0, removed = 0;
  for (int id = 0; id < kThreads; ++id) {
    const WorkerTally& tally = tallies[id];
    EXPECT_EQ(tally.failures, 0) << "worker " << id;
    own_total += tally.own.size();
    added += tally.shared_added;
    removed += tally.shared_removed;
    for (int k = 0; k < kOwnKeys; ++k) {
      const std::string key = "own-" + std::to_string(id) + "-" + std::to_string(k);
      auto guard = map.get(key);
      auto it = tally.own.find(key);
      ASSERT_EQ(static_cast<bool>(guard), it != tally.own.end()) << key;
      if (guard) {
        EXPECT_EQ(guard->value, it->second) << key;
      }
    }
  }

  std::size_t shared_present = 0;
  long shared_remaining = 0;
  map.for_each([&](const std::string& key, const Record& record) {
    if (key.rfind("shared-", 0) == 0) {
      ++shared_present;
      shared_remaining += record.value;
    }
  });
  EXPECT_EQ(map.len(), own_total + shared_present);
  EXPECT_EQ(shared_remaining + removed, added);
}

}  // namespace

namespace {

// read_shard answers like get for every key it is given, present or not,
// and refuses a key whose hash names another shard.
TEST(ShardedMapReadShard, LookupsByShardMatchGet) {
  ShardedMap<int> map(8, kKeys);
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; ++i) keys.push_back("k" + std::to_string(i) + std::string(i % 30, 'x'));
  for (int i = 0; i < 2000; i += 2) map.insert(std::string(keys[i]), i);
  std::vector<std::vector<std::string>> by_shard(map.shard_count());
  for (const std::string& key : keys) by_shard[map.shard_of(map.hash(key))].push_back(key);
  std::size_t seen = 0;
  for (std::size_t shard = 0; shard < map.shard_count(); ++shard) {
    std::vector<std::optional<int>> found;
    map.read_shard(shard, [&](const ShardedMap<int>::ShardReader& reader) {
      for (const std::string& key : by_shard[shard]) {
        const int* value = reader.find(key, map.hash(key));
        found.push_back(value ? std::optional<int>(*value) : std::nullopt);
      }
    });
    for (std::size_t i = 0; i < found.size(); ++i) {
      const auto guard = map.get(by_shard[shard][i]);
      ASSERT_EQ(found[i].has_value(), static_cast<bool>(guard)) << by_shard[shard][i];
      if (found[i]) {
        EXPECT_EQ(*found[i], *guard);
      }
      seen += found[i].has_value();
    }
  }
  EXPECT_EQ(seen, 1000u);
  const std::string key = keys[0];
  const std::size_t other = (map.shard_of(map.hash(key)) + 1) % map.shard_count();
  map.read_shard(other, [&](const ShardedMap<int>::ShardReader& reader) {
    EXPECT_THROW(reader.find(key, map.hash(key)), std::logic_error);
  });
}

}  // namespace
