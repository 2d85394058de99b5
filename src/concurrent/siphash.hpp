// SipHash-1-3: a keyed 64-bit hash (one compression round per 8-byte block,
// three finalization rounds). Keys are secret per map/set, so an attacker who
// picks task ids cannot aim them all at one bucket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesk {

// SipHash-1-3 of `len` bytes at `data` under the key (k0, k1).
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data,
                        std::size_t len) noexcept;

// SipHash-1-3 of the bytes of `id` followed by one 0xFF byte, computed without
// building the concatenated buffer. The trailing byte keeps the hash of an id
// distinct from the hash of the same bytes used under another framing.
std::uint64_t hash_id(std::uint64_t k0, std::uint64_t k1, std::string_view id) noexcept;

// hash_id(0, 0, id) and hash_id(k0, k1, id) computed side by side, for a
// caller that needs both: little slower than one of them alone.
struct IdHashPair {
  std::uint64_t unkeyed;
  std::uint64_t keyed;
};
IdHashPair hash_id_pair(std::uint64_t k0, std::uint64_t k1, std::string_view id) noexcept;

}  // namespace vesk
