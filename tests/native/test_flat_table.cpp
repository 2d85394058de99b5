#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "concurrent/flat_table.hpp"
#include "concurrent/hash_keys.hpp"

namespace {

// A value that counts live instances, so leaks and double destruction in
// rehash, remove and clear show up without a sanitizer.
struct Counted {
  static inline long live = 0;
  static inline long moves = 0;  // a rehash shows up as extra moves
  int value = 0;

  Counted() noexcept { ++live; }
  explicit Counted(int v) noexcept : value(v) { ++live; }
  Counted(const Counted& other) noexcept : value(other.value) { ++live; }
  Counted(Counted&& other) noexcept : value(other.value) {
    ++live;
    ++moves;
  }
  Counted& operator=(const Counted&) noexcept = default;
  Counted& operator=(Counted&&) noexcept = default;
  ~Counted() { --live; }
};

struct GoodHash {
  std::uint64_t operator()(std::string_view key) const noexcept {
    return vesk::hash_id(0x1234, 0x5678, key);
  }
};

// Four probe starts and two tags: long shared probe chains and tag matches
// that need the key compare.
struct CollidingHash {
  std::uint64_t operator()(std::string_view key) const noexcept {
    return GoodHash{}(key) & 0x8000000000000003ULL;
  }
};

// Every key has the same tag; probe starts still spread.
struct SameTagHash {
  std::uint64_t operator()(std::string_view key) const noexcept {
    return GoodHash{}(key) & ~(std::uint64_t{0x7f} << 57);
  }
};

template <class Hasher>
class FlatTableModel : public ::testing::Test {
 protected:
  using Table = vesk::FlatTable<Counted, Hasher>;

  static std::uint64_t h(std::string_view key) { return Hasher{}(key); }

  void TearDown() override { EXPECT_EQ(Counted::live, 0); }

  static void expect_same(const Table& table, const std::unordered_map<std::string, int>& model) {
    ASSERT_EQ(table.size(), model.size());
    std::size_t visited = 0;
    table.for_each([&](const std::string& key, const Counted& value) {
      ++visited;
      auto it = model.find(key);
      ASSERT_NE(it, model.end()) << key;
      EXPECT_EQ(value.value, it->second) << key;
    });
    EXPECT_EQ(visited, model.size());
    // Live values: the table's plus none leaked by earlier operations.
    EXPECT_EQ(Counted::live, static_cast<long>(model.size()));
    if (table.capacity() != 0) {
      EXPECT_TRUE(std::has_single_bit(table.capacity()));
      EXPECT_LE(table.size() * 8, table.capacity() * 7);
    }
  }
};

using Hashers = ::testing::Types<GoodHash, CollidingHash, SameTagHash>;
TYPED_TEST_SUITE(FlatTableModel, Hashers);

TYPED_TEST(FlatTableModel, RandomOperationsMatchUnorderedMap) {
  using Table = typename TestFixture::Table;
  std::mt19937 rng(2024);
  {
    Table table;
    std::unordered_map<std::string, int> model;
    auto random_key = [&] { return "k" + std::to_string(rng() % 400); };
    for (int step = 0; step < 20000; ++step) {
      const std::string key = random_key();
      const std::uint64_t hash = TestFixture::h(key);
      const int value = static_cast<int>(rng() % 1000);
      const auto in_model = model.find(key);
      switch (rng() % 8) {
        case 0:
        case 1: {
          auto previous = (step % 2 == 0)
                              ? table.insert_or_replace(std::string(key), hash, Counted(value))
                              : table.insert_or_replace(std::string_view(key), hash, Counted(value));
          ASSERT_EQ(previous.has_value(), in_model != model.end());
          if (previous) {
            ASSERT_EQ(previous->value, in_model->second);
          }
          model[key] = value;
          break;
        }
        case 2: {
          auto [slot, inserted] = table.find_or_insert_default(key, hash);
          ASSERT_EQ(inserted, in_model == model.end());
          ASSERT_EQ(slot->value, inserted ? 0 : in_model->second);
          slot->value = value;
          model[key] = value;
          break;
        }
        case 3:
        case 4: {
          auto removed = table.remove(key, hash);
          ASSERT_EQ(removed.has_value(), in_model != model.end());
          if (removed) {
            ASSERT_EQ(removed->first, key);
            ASSERT_EQ(removed->second.value, in_model->second);
            model.erase(in_model);
          }
          break;
        }
        case 5:
        case 6: {
          const Counted* found = std::as_const(table).find(key, hash);
          ASSERT_EQ(found != nullptr, in_model != model.end());
          if (found) {
            ASSERT_EQ(found->value, in_model->second);
          }
          break;
        }
        case 7:
          if (rng() % 200 == 0) {
            table.clear();
            model.clear();
          } else if (rng() % 50 == 0) {
            std::vector<typename Table::Entry> rejected;
            table.retain([](const std::string&, Counted& v) { return v.value % 3 != 0; }, rejected);
            for (const auto& [k, v] : rejected) {
              ASSERT_EQ(v.value % 3, 0);
              ASSERT_EQ(model.at(k), v.value);
              model.erase(k);
            }
          }
          break;
      }
      if (step % 1000 == 0) TestFixture::expect_same(table, model);
    }
    TestFixture::expect_same(table, model);
  }
}

TYPED_TEST(FlatTableModel, GrowsToHoldManyKeysAndFindsThemAll) {
  using Table = typename TestFixture::Table;
  Table table;
  std::unordered_map<std::string, int> model;
  for (int i = 0; i < 5000; ++i) {
    const std::string key = "task-" + std::to_string(i);
    table.insert_or_replace(std::string(key), TestFixture::h(key), Counted(i));
    model[key] = i;
  }
  TestFixture::expect_same(table, model);
  for (const auto& [key, value] : model) {
    const Counted* found = table.find(key, TestFixture::h(key));
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(found->value, value);
  }
  EXPECT_EQ(table.find("task-5000", TestFixture::h("task-5000")), nullptr);
}

// Deleting leaves tombstones; a steady workload must sweep them by rehashing
// in place rather than doubling forever.
TYPED_TEST(FlatTableModel, ChurnAtSteadySizeKeepsCapacityBounded) {
  using Table = typename TestFixture::Table;
  Table table;
  for (int i = 0; i < 20000; ++i) {
    const std::string key = "churn-" + std::to_string(i);
    table.insert_or_replace(std::string(key), TestFixture::h(key), Counted(i));
    if (i >= 100) {
      const std::string old = "churn-" + std::to_string(i - 100);
      ASSERT_TRUE(table.remove(old, TestFixture::h(old)).has_value());
    }
  }
  EXPECT_EQ(table.size(), 100u);
  EXPECT_LE(table.capacity(), 256u);
}

class FlatTableTest : public ::testing::Test {
 protected:
  using Table = vesk::FlatTable<Counted, GoodHash>;
  static std::uint64_t h(std::string_view key) { return GoodHash{}(key); }
  void TearDown() override { EXPECT_EQ(Counted::live, 0); }
};

TEST_F(FlatTableTest, LooksUpBySliceOfALargerBuffer) {
  Table table;
  table.insert_or_replace(std::string("beta"), h("beta"), Counted(2));
  table.insert_or_replace(std::string("be"), h("be"), Counted(1));
  const std::string buffer = "alphabetagamma";
  const std::string_view beta = std::string_view(buffer).substr(5, 4);
  const std::string_view be = beta.substr(0, 2);
  ASSERT_NE(table.find(beta, h(beta)), nullptr);
  EXPECT_EQ(table.find(beta, h(beta))->value, 2);
  EXPECT_EQ(table.find(be, h(be))->value, 1);
  EXPECT_EQ(table.find(buffer, h(buffer)), nullptr);
}

TEST_F(FlatTableTest, KeysDifferingOnlyAfterAnEmbeddedNulAreDistinct) {
  Table table;
  const std::string plain = "id";
  const std::string with_nul("id\0x", 4);
  table.insert_or_replace(std::string(plain), h(plain), Counted(1));
  table.insert_or_replace(std::string(with_nul), h(with_nul), Counted(2));
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.find(plain, h(plain))->value, 1);
  EXPECT_EQ(table.find(with_nul, h(with_nul))->value, 2);
}

TEST_F(FlatTableTest, RetainMovesRejectedEntriesOutWithTheirKeys) {
  Table table;
  for (int i = 0; i < 100; ++i) {
    const std::string key = std::to_string(i);
    table.insert_or_replace(std::string(key), h(key), Counted(i));
  }
  std::vector<Table::Entry> rejected;
  table.retain([](const std::string&, Counted& v) { return v.value < 60; }, rejected);
  EXPECT_EQ(table.size(), 60u);
  ASSERT_EQ(rejected.size(), 40u);
  for (const auto& [key, value] : rejected) {
    EXPECT_EQ(key, std::to_string(value.value));
    EXPECT_GE(value.value, 60);
    EXPECT_EQ(table.find(key, h(key)), nullptr);
  }
  for (int i = 0; i < 60; ++i) {
    EXPECT_NE(table.find(std::to_string(i), h(std::to_string(i))), nullptr) << i;
  }
}

// Entries iterate in insertion order; a removal moves the last one into the
// gap, and a predicate that throws halfway leaves every entry findable.
TEST_F(FlatTableTest, OrderSurvivesRemovalsAndARetainThatThrows) {
  Table table;
  auto keys = [&] {
    std::vector<int> order;
    table.for_each([&](const std::string&, const Counted& v) { order.push_back(v.value); });
    return order;
  };
  for (int i = 0; i < 6; ++i) table.insert_or_replace(std::to_string(i), h(std::to_string(i)), Counted(i));
  table.remove("1", h("1"));
  EXPECT_EQ(keys(), (std::vector<int>{0, 5, 2, 3, 4}));
  std::vector<Table::Entry> rejected;
  EXPECT_THROW(table.retain([](const std::string&, Counted& v) {
    if (v.value == 3) throw std::runtime_error("stop");
    return v.value != 5;
  }, rejected), std::runtime_error);
  EXPECT_EQ(keys(), (std::vector<int>{0, 2, 3, 4}));
  for (int i : {0, 2, 3, 4}) EXPECT_EQ(table.find(std::to_string(i), h(std::to_string(i)))->value, i);
  EXPECT_EQ(table.find("5", h("5")), nullptr);
}

TEST_F(FlatTableTest, EmptyingKeepsCapacityAndTheTableStaysUsable) {
  Table table;
  for (int i = 0; i < 1000; ++i) {
    const std::string key = std::to_string(i);
    table.insert_or_replace(std::string(key), h(key), Counted(i));
  }
  const std::size_t capacity = table.capacity();

  std::vector<Table::Entry> rejected;
  table.retain([](const std::string&, Counted&) { return false; }, rejected);
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.capacity(), capacity);
  rejected.clear();

  // Refilling up to the load limit must not rehash: emptying left no
  // tombstones. Each insert moves its value once; a rehash would move more.
  const std::size_t refill = capacity - capacity / 8;
  Counted::moves = 0;
  for (std::size_t i = 0; i < refill; ++i) {
    const std::string key = "again-" + std::to_string(i);
    table.insert_or_replace(std::string(key), h(key), Counted(static_cast<int>(i)));
  }
  EXPECT_EQ(table.capacity(), capacity);
  EXPECT_EQ(Counted::moves, static_cast<long>(refill));

  table.clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(table.capacity(), capacity);
  EXPECT_EQ(table.find("again-1", h("again-1")), nullptr);
  table.insert_or_replace(std::string("x"), h("x"), Counted(7));
  EXPECT_EQ(table.find("x", h("x"))->value, 7);
  EXPECT_EQ(table.size(), 1u);
}

TEST_F(FlatTableTest, MoveLeavesSourceEmptyAndUsable) {
  Table source;
  source.insert_or_replace(std::string("a"), h("a"), Counted(1));
  Table target(std::move(source));
  EXPECT_EQ(target.find("a", h("a"))->value, 1);
  EXPECT_TRUE(source.empty());
  EXPECT_EQ(source.find("a", h("a")), nullptr);
  source.insert_or_replace(std::string("b"), h("b"), Counted(2));
  target = std::move(source);
  EXPECT_EQ(target.size(), 1u);
  EXPECT_EQ(target.find("b", h("b"))->value, 2);
  EXPECT_EQ(Counted::live, 1);
}

}  // namespace
