// The prefetch hints of FlatTable, IdSet and ShardedMap change nothing and
// never wait for a lock.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "concurrent/id_set.hpp"
#include "concurrent/sharded_map.hpp"
#include "test_support.hpp"

namespace {

using vesk::testing::join_or_abort;

TEST(PrefetchHints, EmptyAndFilledContainersStayAsTheyWere) {
  vesk::IdSet set(vesk::HashKeys{1, 2});
  set.prefetch();  // no table allocated yet
  for (int i = 0; i < 100; ++i) set.insert("id-" + std::to_string(i));
  set.prefetch();
  EXPECT_EQ(set.size(), 100u);
  EXPECT_TRUE(set.contains("id-99"));

  vesk::ShardedMap<vesk::IdSet> map(4, vesk::HashKeys{3, 4});
  map.prefetch("absent");  // every shard table still empty
  map.entry_or_default("a")->insert("b");
  map.prefetch("a");
  map.prefetch("absent");
  EXPECT_EQ(map.len(), 1u);
  EXPECT_TRUE(map.get("a")->contains("b"));
}

TEST(PrefetchHints, MapHintSkipsAShardThatIsLocked) {
  vesk::ShardedMap<vesk::IdSet> map(4, vesk::HashKeys{5, 6});
  map.entry_or_default("a")->insert("b");
  auto held = map.get_mut("a");  // this thread holds the shard exclusively
  std::future<void> hint = std::async(std::launch::async, [&] { map.prefetch("a"); });
  join_or_abort(hint);  // a hint that waited would never return here
  held.release();
}

}  // namespace
