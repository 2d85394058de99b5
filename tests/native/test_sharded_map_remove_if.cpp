// ShardedMap::remove_if: a conditional removal decided under the shard lock.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "concurrent/sharded_map.hpp"
#include "test_support.hpp"

namespace {

using vesk::HashKeys;
using vesk::ShardedMap;

constexpr HashKeys kKeys{0x1111222233334444ULL, 0x5555666677778888ULL};

TEST(ShardedMapRemoveIf, RemovesOnlyWhenThePredicateHolds) {
  ShardedMap<int> map(4, kKeys);
  map.insert("a", 1);
  map.insert("b", 2);

  EXPECT_FALSE(map.remove_if("a", [](const int& v) { return v == 2; }));
  EXPECT_FALSE(map.remove_if("absent", [](const int&) { return true; }));
  EXPECT_EQ(map.len(), 2u);

  auto removed = map.remove_if("b", [](const int& v) { return v == 2; });
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->first, "b");
  EXPECT_EQ(removed->second, 2);
  EXPECT_FALSE(map.get("b"));
  EXPECT_EQ(*map.get("a"), 1);
}

// A writer keeps replacing one key's value, alternating odd and even, while a
// remover deletes the key only when its value is even. Every removed value
// must be even: the test and the removal are one lock hold, so no write can
// land between them.
TEST(ShardedMapRemoveIf, NeverRemovesAValueThatFailedThePredicate) {
  ShardedMap<int> map(2, kKeys);
  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  int removed = 0;
  int wrong = 0;
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; !stop.load(); ++i) {
      map.insert("k", i);
      writes.fetch_add(1);
      std::this_thread::yield();  // lets the remover in between writes
    }
  });
  auto remover = std::async(std::launch::async, [&] {
    while (writes.load() == 0) std::this_thread::yield();
    for (int i = 0; i < 100000; ++i) {
      if (auto gone = map.remove_if("k", [](const int& v) { return v % 2 == 0; })) {
        ++removed;
        if (gone->second % 2 != 0) ++wrong;
      }
      std::this_thread::yield();  // and the writer in between attempts
    }
    stop.store(true);
  });
  std::vector<std::future<void>> all;
  all.push_back(std::move(remover));
  all.push_back(std::move(writer));
  vesk::testing::join_or_abort(all);
  EXPECT_GT(removed, 0);
  EXPECT_EQ(wrong, 0);
}

}  // namespace
