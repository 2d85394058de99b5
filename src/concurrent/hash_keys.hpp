// Per-map hash keys and the process-wide shard count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "siphash.hpp"

namespace vesk {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// Keys for one new map or set. Each thread seeds a pair from the OS random
// source on first use; every call returns the current pair and then bumps the
// first word, so two tables made on one thread never share keys.
// Throws std::system_error if no random source can be read.
HashKeys next_hash_keys();

// Shards per concurrent map: online processors times 4, rounded up to a power
// of two. Computed once per process.
std::size_t default_shard_count();

// hash_id bound to one pair of keys; the rehash function of the tables.
struct IdHasher {
  HashKeys keys;

  std::uint64_t operator()(std::string_view id) const noexcept {
    return hash_id(keys.k0, keys.k1, id);
  }
};

}  // namespace vesk
