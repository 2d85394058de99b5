#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <future>
#include <thread>

#include "concurrent/hash_keys.hpp"

namespace {

TEST(NextHashKeys, SuccessiveCallsOnOneThreadStepTheFirstWord) {
  const vesk::HashKeys first = vesk::next_hash_keys();
  const vesk::HashKeys second = vesk::next_hash_keys();
  const vesk::HashKeys third = vesk::next_hash_keys();
  EXPECT_EQ(second.k0, first.k0 + 1);
  EXPECT_EQ(third.k0, first.k0 + 2);
  EXPECT_EQ(second.k1, first.k1);
  EXPECT_EQ(third.k1, first.k1);
}

TEST(NextHashKeys, ThreadsSeedIndependently) {
  const vesk::HashKeys here = vesk::next_hash_keys();
  const vesk::HashKeys there = std::async(std::launch::async, [] { return vesk::next_hash_keys(); }).get();
  // Equal only if both threads drew the same 64 random bits for k1.
  EXPECT_NE(here.k1, there.k1);
}

TEST(DefaultShardCount, IsAPowerOfTwoAtLeastFourPerProcessor) {
  const std::size_t count = vesk::default_shard_count();
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  EXPECT_TRUE(std::has_single_bit(count));
  EXPECT_GE(count, 4u * processors);
  EXPECT_LT(count, 8u * processors);
}

}  // namespace
