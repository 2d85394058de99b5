#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "concurrent/id_set.hpp"

namespace {

using vesk::IdSet;

constexpr vesk::HashKeys kKeys{42, 4242};

TEST(IdSet, InsertContainsEraseReportWhatChanged) {
  IdSet set(kKeys);
  EXPECT_TRUE(set.insert("task-1"));
  EXPECT_FALSE(set.insert("task-1"));
  EXPECT_TRUE(set.insert(""));
  EXPECT_TRUE(set.contains("task-1"));
  EXPECT_TRUE(set.contains(""));
  EXPECT_FALSE(set.contains("task-2"));
  EXPECT_EQ(set.size(), 2u);
  EXPECT_TRUE(set.erase("task-1"));
  EXPECT_FALSE(set.erase("task-1"));
  EXPECT_FALSE(set.contains("task-1"));
  EXPECT_EQ(set.size(), 1u);
}

TEST(IdSet, ComparesExactBytes) {
  IdSet set(kKeys);
  const std::string composed = "caf\xC3\xA9";     // e-acute as one code point
  const std::string decomposed = "cafe\xCC\x81";  // e + combining acute
  EXPECT_TRUE(set.insert(composed));
  EXPECT_TRUE(set.insert(decomposed));
  EXPECT_TRUE(set.insert(std::string("id\0", 3)));
  EXPECT_TRUE(set.insert("id"));
  EXPECT_TRUE(set.insert("ID"));
  EXPECT_EQ(set.size(), 5u);
  EXPECT_FALSE(set.contains("caf"));
}

TEST(IdSet, RandomOperationsMatchUnorderedSet) {
  std::mt19937 rng(99);
  IdSet set(kKeys);
  std::unordered_set<std::string> model;
  for (int step = 0; step < 20000; ++step) {
    const std::string id = "id-" + std::to_string(rng() % 300);
    switch (rng() % 4) {
      case 0:
      case 1:
        ASSERT_EQ(set.insert(id), model.insert(id).second);
        break;
      case 2:
        ASSERT_EQ(set.erase(id), model.erase(id) == 1);
        break;
      case 3:
        ASSERT_EQ(set.contains(id), model.count(id) == 1);
        break;
    }
    if (rng() % 5000 == 0) {
      set.clear();
      model.clear();
    }
    ASSERT_EQ(set.size(), model.size());
  }
  std::multiset<std::string> visited;
  set.for_each([&](const std::string& id) { visited.insert(id); });
  EXPECT_EQ(visited, std::multiset<std::string>(model.begin(), model.end()));
}

TEST(IdSet, ClearEmptiesAndTheSetStaysUsable) {
  IdSet set(kKeys);
  for (int i = 0; i < 100; ++i) set.insert(std::to_string(i));
  set.clear();
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(set.contains("5"));
  int visits = 0;
  set.for_each([&](const std::string&) { ++visits; });
  EXPECT_EQ(visits, 0);
  EXPECT_TRUE(set.insert("5"));
  EXPECT_TRUE(set.contains("5"));
}

TEST(IdSet, MoveTransfersContents) {
  IdSet source(kKeys);
  source.insert("a");
  IdSet target(std::move(source));
  EXPECT_TRUE(target.contains("a"));
  EXPECT_TRUE(source.empty());
  EXPECT_TRUE(source.insert("b"));
  target = std::move(source);
  EXPECT_TRUE(target.contains("b"));
  EXPECT_FALSE(target.contains("a"));
}

TEST(IdSet, EachSetDrawsItsOwnKeys) {
  std::vector<IdSet> sets(3);
  std::set<std::uint64_t> hashes;  // of one id: equal only under equal keys
  for (IdSet& set : sets) hashes.insert(set.hash("member"));
  EXPECT_EQ(hashes.size(), 3u);
}

}  // namespace
