#include "siphash.hpp"

#include <bit>
#include <cstring>

#include "intrinsics.hpp"

namespace vesk {
namespace {

std::uint64_t load_le64(const unsigned char* bytes) noexcept {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = byte_swap64(word);
  }
  return word;
}

// The last `count` (< 8) bytes of a message as a little-endian partial word.
// `bytes` is 8 * words into the message: with a word before it, one load of
// the 8 bytes that end the message does.
std::uint64_t load_tail(const unsigned char* bytes, std::size_t count, std::size_t words) noexcept {
  if (count == 0) return 0;
  if (words > 0) return load_le64(bytes + count - 8) >> (8 * (8 - count));
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) {
    word |= std::uint64_t{bytes[i]} << (8 * i);
  }
  return word;
}

class SipState {
 public:
  SipState(std::uint64_t k0, std::uint64_t k1) noexcept
      : v0_(k0 ^ 0x736f6d6570736575ULL),
        v1_(k1 ^ 0x646f72616e646f6dULL),
        v2_(k0 ^ 0x6c7967656e657261ULL),
        v3_(k1 ^ 0x7465646279746573ULL) {}

  void compress(std::uint64_t block) noexcept {
    v3_ ^= block;
    round();
    v0_ ^= block;
  }

  void compress_words(const unsigned char* bytes, std::size_t word_count) noexcept {
    for (std::size_t i = 0; i < word_count; ++i) {
      compress(load_le64(bytes + 8 * i));
    }
  }

  // `last_block` holds the message length in its top byte and the leftover
  // message bytes below it.
  std::uint64_t finish(std::uint64_t last_block) noexcept {
    compress(last_block);
    v2_ ^= 0xff;
    round();
    round();
    round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  void round() noexcept {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = std::rotl(v2_, 32);
  }

  std::uint64_t v0_, v1_, v2_, v3_;
};

std::uint64_t length_block(std::size_t len) noexcept {
  return static_cast<std::uint64_t>(len) << 56;
}

// Two states fed the same blocks, one under the all-zero key. Their chains
// do not depend on each other, so the processor runs them side by side.
class SipPair {
 public:
  SipPair(std::uint64_t k0, std::uint64_t k1) noexcept : unkeyed_(0, 0), keyed_(k0, k1) {}

  void compress(std::uint64_t block) noexcept {
    unkeyed_.compress(block);
    keyed_.compress(block);
  }

  IdHashPair finish(std::uint64_t last_block) noexcept {
    return {unkeyed_.finish(last_block), keyed_.finish(last_block)};
  }

 private:
  SipState unkeyed_, keyed_;
};

// The hash_id framing (the id's bytes, then 0xFF) over any state.
template <class State>
auto hash_id_with(State state, std::string_view id) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(id.data());
  const std::size_t word_count = id.size() / 8;
  const std::size_t leftover = id.size() % 8;
  for (std::size_t i = 0; i < word_count; ++i) state.compress(load_le64(bytes + 8 * i));
  // The id's leftover bytes plus the 0xFF terminator.
  const std::uint64_t tail =
      load_tail(bytes + 8 * word_count, leftover, word_count) | (std::uint64_t{0xff} << (8 * leftover));
  const std::uint64_t length = length_block(id.size() + 1);
  if (leftover == 7) {
    // The terminator completes a full word: it is compressed as a block and
    // the final block carries only the length.
    state.compress(tail);
    return state.finish(length);
  }
  return state.finish(length | tail);
}

}  // namespace

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data,
                        std::size_t len) noexcept {
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t word_count = len / 8;
  SipState state(k0, k1);
  state.compress_words(bytes, word_count);
  return state.finish(length_block(len) | load_tail(bytes + 8 * word_count, len % 8, word_count));
}

std::uint64_t hash_id(std::uint64_t k0, std::uint64_t k1, std::string_view id) noexcept {
  return hash_id_with(SipState(k0, k1), id);
}

IdHashPair hash_id_pair(std::uint64_t k0, std::uint64_t k1, std::string_view id) noexcept {
  return hash_id_with(SipPair(k0, k1), id);
}

}  // namespace vesk
