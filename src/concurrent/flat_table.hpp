// FlatTable: a single-threaded open-addressing hash table from owned string
// keys to values, built to hold about a million entries compactly.
//
// Hash split. Callers hash a key once and pass the 64-bit hash to every
// operation. The top 7 bits become the slot's tag, kept in a control-byte
// array beside the slots; the low bits pick where probing starts. The two
// parts are disjoint bit ranges, so a tag match says something the probe
// position did not already say. (The concurrent map takes its shard index
// from the bits just below the tag, which neither part uses for realistic
// capacities.)
//
// Control bytes. One byte per slot: a 7-bit tag (0ttttttt) marks a full slot
// (high bit clear), 0x80 marks empty, 0xFE marks deleted. Probing reads eight
// control bytes at a time as one 64-bit word and finds candidate slots with
// SWAR bit tricks, so a miss usually costs one word read and no key compare.
// The first seven control bytes are mirrored after the last one, so a word
// read starting anywhere in the table never needs to wrap.
//
// Probing. Triangular probing over 8-slot windows: the n-th window starts
// 8 * n(n+1)/2 slots past the first. With a power-of-two capacity this visits
// every window position exactly once, so a probe always reaches every slot.
//
// Entries. The slots hold 4-byte entry numbers; the entries themselves
// (key, hash and value) sit densely in one array in insertion order, as in
// CPython's dict. Reading ids in the order they were written walks that array
// forwards, which the hardware prefetcher follows, and a table costs
// sizeof(std::string) + 8 + sizeof(V) per entry plus 5 bytes per slot.
// Removing an entry moves the last entry into its place (so the array stays
// dense; insertion order holds for the rest) and finds the moved entry's slot
// by its kept hash.
//
// Deletion. Tombstones (0xFE). A tombstone keeps later entries of a probe
// chain reachable; inserts reuse the first empty or deleted slot of their
// chain. Tombstones count against the load, so they are swept by the next
// rehash.
//
// Growth. Full slots plus tombstones stay at or below 7/8 of capacity, which
// keeps at least one empty slot so every probe terminates. When an insert
// would cross that, the table rehashes: at the same capacity if live entries
// fill at most half the allowed load (the space went to tombstones), else at
// double capacity. Rehashing reads each entry's kept hash.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "intrinsics.hpp"

namespace vesk {

namespace flat_table_detail {

inline constexpr std::uint8_t kEmpty = 0x80;
inline constexpr std::uint8_t kDeleted = 0xFE;
inline constexpr int kTagBits = 7;
inline constexpr std::size_t kGroupWidth = 8;
inline constexpr std::size_t kMinCapacity = 8;
inline constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline constexpr std::size_t max_load(std::size_t capacity) noexcept {
  return capacity - capacity / 8;
}

static_assert(kTagBits == 7, "a tag must fit below the control byte's high bit, which marks free slots");
static_assert((kEmpty & 0x80) != 0 && (kDeleted & 0x80) != 0,
              "free control bytes need the high bit set so it alone tells free from full");
static_assert((kEmpty & 0x02) == 0 && (kDeleted & 0x02) != 0,
              "match_empty tells empty from deleted by bit 1");
static_assert((kEmpty & 0x01) == 0 && (kDeleted & 0x01) == 0,
              "match_free needs bit 0 clear in both free markers");
static_assert(kGroupWidth == sizeof(std::uint64_t), "a probe window is one 64-bit word of control bytes");
static_assert(kMinCapacity >= kGroupWidth && std::has_single_bit(kMinCapacity),
              "a probe window must never cover a slot twice, and masking needs a power of two");
static_assert(max_load(kMinCapacity) < kMinCapacity,
              "at least one slot must stay empty or an unsuccessful probe would never stop");

// Set bits (one per byte lane, bit 7 of the lane) naming slots of a window.
class LaneMask {
 public:
  explicit LaneMask(std::uint64_t bits) noexcept : bits_(bits) {}
  explicit operator bool() const noexcept { return bits_ != 0; }
  std::size_t lowest() const noexcept {
    return static_cast<std::size_t>(std::countr_zero(bits_)) / 8;
  }
  void drop_lowest() noexcept { bits_ &= bits_ - 1; }

 private:
  std::uint64_t bits_;
};

// Eight control bytes read as one little-endian word; lane i is byte i.
class Window {
 public:
  explicit Window(const std::uint8_t* ctrl) noexcept {
    std::memcpy(&bits_, ctrl, sizeof bits_);
    if constexpr (std::endian::native == std::endian::big) {
      bits_ = byte_swap64(bits_);
    }
  }

  // Lanes equal to `tag`. May also flag a lane just above a true match
  // (borrow into the next byte); callers recheck the control byte.
  LaneMask match(std::uint8_t tag) const noexcept {
    const std::uint64_t diff = bits_ ^ (kLowBits * tag);
    return LaneMask((diff - kLowBits) & ~diff & kHighBits);
  }
  // Empty lanes: high bit set, bit 1 clear. Exact.
  LaneMask match_empty() const noexcept { return LaneMask(bits_ & ~(bits_ << 6) & kHighBits); }
  // Empty or deleted lanes: high bit set, bit 0 clear. Exact.
  LaneMask match_free() const noexcept { return LaneMask(bits_ & ~(bits_ << 7) & kHighBits); }

 private:
  std::uint64_t bits_;
};

// Window starts h, h+8, h+24, h+48, ... modulo the capacity.
class ProbeSequence {
 public:
  ProbeSequence(std::uint64_t hash, std::size_t mask) noexcept
      : mask_(mask), offset_(static_cast<std::size_t>(hash) & mask) {}
  std::size_t offset() const noexcept { return offset_; }
  std::size_t slot(std::size_t lane) const noexcept { return (offset_ + lane) & mask_; }
  void next() noexcept {
    step_ += kGroupWidth;
    offset_ = (offset_ + step_) & mask_;
  }

 private:
  std::size_t mask_;
  std::size_t offset_;
  std::size_t step_ = 0;
};

inline std::uint8_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint8_t>(hash >> (64 - kTagBits));
}

// Starts loading the cache line at `address`. A prefetch has no effect the
// compiler can see, so a function doing nothing else looks pure and its
// calls get dropped; the empty volatile asm keeps them.
inline void prefetch_line(const void* address) noexcept {
  prefetch_for_read(address);
  keep_call();
}

}  // namespace flat_table_detail

// V must be nothrow move constructible (rehash moves values and must not fail
// halfway). Hasher: `std::uint64_t operator()(std::string_view) const noexcept`,
// the same function callers use to compute the hashes they pass in.
template <class V, class Hasher>
class FlatTable {
  static_assert(std::is_nothrow_move_constructible_v<V>,
                "rehash moves every value and cannot undo a half-done move");

 public:
  using Entry = std::pair<std::string, V>;

  explicit FlatTable(Hasher hasher = Hasher{}) noexcept(std::is_nothrow_move_constructible_v<Hasher>)
      : hasher_(std::move(hasher)) {}

  FlatTable(FlatTable&& other) noexcept
      : hasher_(other.hasher_),
        ctrl_(std::exchange(other.ctrl_, nullptr)),
        index_(std::exchange(other.index_, nullptr)),
        entries_(std::exchange(other.entries_, nullptr)),
        capacity_(std::exchange(other.capacity_, 0)),
        size_(std::exchange(other.size_, 0)),
        growth_left_(std::exchange(other.growth_left_, 0)) {}

  FlatTable& operator=(FlatTable&& other) noexcept {
    if (this != &other) {
      FlatTable(std::move(other)).swap(*this);
    }
    return *this;
  }

  FlatTable(const FlatTable&) = delete;
  FlatTable& operator=(const FlatTable&) = delete;

  ~FlatTable() {
    destroy_entries();
    release_storage();
  }

  void swap(FlatTable& other) noexcept {
    using std::swap;
    swap(hasher_, other.hasher_);
    swap(ctrl_, other.ctrl_);
    swap(index_, other.index_);
    swap(entries_, other.entries_);
    swap(capacity_, other.capacity_);
    swap(size_, other.size_);
    swap(growth_left_, other.growth_left_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return capacity_; }
  const Hasher& hasher() const noexcept { return hasher_; }

  V* find(std::string_view key, std::uint64_t hash) noexcept {
    const std::size_t slot = find_slot(key, hash);
    return slot == kNotFound ? nullptr : &entry_at(slot).value;
  }

  const V* find(std::string_view key, std::uint64_t hash) const noexcept {
    const std::size_t slot = find_slot(key, hash);
    return slot == kNotFound ? nullptr : &entry_at(slot).value;
  }

  // The value for `key`, value-initialized and inserted first if absent.
  // Copies the key only when it is new. `second` is true if inserted.
  std::pair<V*, bool> find_or_insert_default(std::string_view key, std::uint64_t hash) {
    if (V* found = find(key, hash)) {
      return {found, false};
    }
    const std::size_t slot = prepare_insert(hash);
    std::construct_at(&entries_[size_], key, hash);
    commit_insert(slot, hash);
    return {&entries_[size_ - 1].value, true};
  }

  // Stores `value` under `key`; returns the value it replaced, if any.
  // Copies the key only when it is new.
  std::optional<V> insert_or_replace(std::string_view key, std::uint64_t hash, V&& value) {
    if (V* found = find(key, hash)) {
      return std::exchange(*found, std::move(value));
    }
    const std::size_t slot = prepare_insert(hash);
    std::construct_at(&entries_[size_], key, hash, std::move(value));
    commit_insert(slot, hash);
    return std::nullopt;
  }

  // Removes `key`, handing back its key and value.
  std::optional<Entry> remove(std::string_view key, std::uint64_t hash) noexcept {
    const std::size_t slot = find_slot(key, hash);
    if (slot == kNotFound) {
      return std::nullopt;
    }
    Slot& entry = entry_at(slot);
    std::optional<Entry> removed(std::in_place, std::move(entry.key), std::move(entry.value));
    erase_slot(slot);
    return removed;
  }

  // Keeps the entries for which `pred(const std::string&, V&)` is true and
  // moves every other entry to the end of `removed`, keeping the order of
  // the rest. The caller decides where the removed values get destroyed. If
  // pred throws, entries already moved out stay in `removed` and the table
  // stays consistent.
  template <class Pred>
  void retain(Pred&& pred, std::vector<Entry>& removed) {
    std::size_t kept = 0;
    struct Compact {  // closes the gap and reindexes however the loop ends
      FlatTable& table;
      std::size_t& kept;
      std::size_t next = 0;
      ~Compact() {
        for (; next < table.size_; ++next) table.move_entry(next, kept++);
        if (kept != table.size_) table.reindex(kept);
      }
    } compact{*this, kept};
    removed.reserve(removed.size() + 1);
    for (; compact.next < size_; ++compact.next) {
      Slot& entry = entries_[compact.next];
      if (pred(std::as_const(entry.key), entry.value)) {
        move_entry(compact.next, kept++);
        continue;
      }
      if (removed.size() == removed.capacity()) removed.reserve(2 * removed.size());
      removed.emplace_back(std::move(entry.key), std::move(entry.value));
      std::destroy_at(&entry);
    }
  }

  // Destroys every entry; keeps the capacity.
  void clear() noexcept {
    destroy_entries();
    reset_control_bytes();
  }

  // Calls f(const std::string&, V&) for each entry, in insertion order
  // (disturbed by removals, which move the last entry).
  template <class F>
  void for_each(F&& f) {
    for (std::size_t i = 0; i < size_; ++i) f(std::as_const(entries_[i].key), entries_[i].value);
  }

  template <class F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < size_; ++i) f(std::as_const(entries_[i].key), std::as_const(entries_[i].value));
  }

  // A hint that a key of this hash is about to be inserted, found or
  // removed: starts loading the control bytes and entry numbers where its
  // probe starts, without reading either, so it never waits for memory.
  void prefetch_probe_start(std::uint64_t hash) const noexcept {
    if (capacity_ == 0) {
      return;
    }
    const std::size_t offset = static_cast<std::size_t>(hash) & mask();
    flat_table_detail::prefetch_line(ctrl_ + offset);
    flat_table_detail::prefetch_line(index_ + offset);
  }

 private:
  struct Slot {
    // A new entry: the key is copied first, so a failed copy leaves `v` whole.
    Slot(std::string_view k, std::uint64_t h) : key(k), hash(h), value() {}
    Slot(std::string_view k, std::uint64_t h, V&& v) : key(k), hash(h), value(std::move(v)) {}
    Slot(std::string&& k, std::uint64_t h, V&& v) noexcept : key(std::move(k)), hash(h), value(std::move(v)) {}

    std::string key;
    std::uint64_t hash;  // kept so that a rehash or a removal need not hash again
    [[no_unique_address]] V value;
  };

  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  std::size_t mask() const noexcept { return capacity_ - 1; }
  Slot& entry_at(std::size_t slot) const noexcept { return entries_[index_[slot]]; }

  std::size_t find_slot(std::string_view key, std::uint64_t hash) const noexcept {
    using namespace flat_table_detail;
    if (capacity_ == 0) {
      return kNotFound;
    }
    const std::uint8_t tag = tag_of(hash);
    for (ProbeSequence probe(hash, mask());; probe.next()) {
      const Window window(ctrl_ + probe.offset());
      for (LaneMask lanes = window.match(tag); lanes; lanes.drop_lowest()) {
        const std::size_t slot = probe.slot(lanes.lowest());
        if (ctrl_[slot] == tag && std::string_view(entry_at(slot).key) == key) {
          return slot;
        }
      }
      if (window.match_empty()) {
        return kNotFound;
      }
    }
  }

  // The slot that names entry `entry`, whose key has this hash.
  std::size_t slot_of_entry(std::size_t entry, std::uint64_t hash) const noexcept {
    using namespace flat_table_detail;
    const std::uint8_t tag = tag_of(hash);
    for (ProbeSequence probe(hash, mask());; probe.next()) {
      for (LaneMask lanes = Window(ctrl_ + probe.offset()).match(tag); lanes; lanes.drop_lowest()) {
        const std::size_t slot = probe.slot(lanes.lowest());
        if (ctrl_[slot] == tag && index_[slot] == entry) {
          return slot;
        }
      }
    }
  }

  // First empty or deleted slot on the probe chain of `hash`.
  std::size_t find_free_slot(std::uint64_t hash) const noexcept {
    using namespace flat_table_detail;
    for (ProbeSequence probe(hash, mask());; probe.next()) {
      const LaneMask free = Window(ctrl_ + probe.offset()).match_free();
      if (free) {
        return probe.slot(free.lowest());
      }
    }
  }

  // A free slot for a new entry of `hash`, rehashing first if the entry
  // would need an empty slot and the load limit is reached.
  std::size_t prepare_insert(std::uint64_t hash) {
    using namespace flat_table_detail;
    if (capacity_ == 0) {
      rehash(kMinCapacity);
    }
    std::size_t slot = find_free_slot(hash);
    if (growth_left_ == 0 && ctrl_[slot] == kEmpty) {
      rehash(size_ + 1 <= max_load(capacity_) / 2 ? capacity_ : capacity_ * 2);
      slot = find_free_slot(hash);
    }
    return slot;
  }

  // Marks a slot full once the new last entry is constructed.
  void commit_insert(std::size_t slot, std::uint64_t hash) noexcept {
    if (ctrl_[slot] == flat_table_detail::kEmpty) {
      --growth_left_;  // a reused tombstone was already counted
    }
    index_[slot] = static_cast<std::uint32_t>(size_);
    set_ctrl(slot, flat_table_detail::tag_of(hash));
    ++size_;
    // The next new entry goes right after this one: claim its line now, so
    // that the next insert does not wait for it with the shard locked.
    if (size_ < flat_table_detail::max_load(capacity_)) {
      prefetch_for_write(reinterpret_cast<const char*>(&entries_[size_]) + sizeof(Slot) - 1);
    }
  }

  // Destroys the entry `slot` names and fills its place with the last entry.
  void erase_slot(std::size_t slot) noexcept {
    const std::size_t entry = index_[slot];
    const std::size_t last = size_ - 1;
    set_ctrl(slot, flat_table_detail::kDeleted);
    std::destroy_at(&entries_[entry]);
    if (entry != last) {
      index_[slot_of_entry(last, entries_[last].hash)] = static_cast<std::uint32_t>(entry);
      move_entry(last, entry);
    }
    --size_;
  }

  // Moves entry `from` into the empty place `to` (no-op when they are equal).
  void move_entry(std::size_t from, std::size_t to) noexcept {
    if (from == to) {
      return;
    }
    std::construct_at(&entries_[to], std::move(entries_[from].key), entries_[from].hash, std::move(entries_[from].value));
    std::destroy_at(&entries_[from]);
  }

  void set_ctrl(std::size_t slot, std::uint8_t value) noexcept {
    ctrl_[slot] = value;
    if (slot < flat_table_detail::kGroupWidth - 1) {
      ctrl_[capacity_ + slot] = value;  // the mirror read by windows that wrap
    }
  }

  void reset_control_bytes() noexcept {
    if (capacity_ == 0) {
      return;
    }
    std::memset(ctrl_, flat_table_detail::kEmpty, capacity_ + flat_table_detail::kGroupWidth - 1);
    size_ = 0;
    growth_left_ = flat_table_detail::max_load(capacity_);
  }

  // Rebuilds the slots for the first `count` entries, dropping tombstones.
  void reindex(std::size_t count) noexcept {
    reset_control_bytes();
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t hash = entries_[i].hash;
      const std::size_t slot = find_free_slot(hash);
      --growth_left_;
      index_[slot] = static_cast<std::uint32_t>(i);
      set_ctrl(slot, flat_table_detail::tag_of(hash));
    }
    size_ = count;
  }

  void rehash(std::size_t new_capacity) {
    if (new_capacity == capacity_) {
      reindex(size_);
      return;
    }
    if (new_capacity > (std::size_t{1} << 32)) {
      throw std::length_error("a table holds at most 2**32 slots");
    }
    auto ctrl = std::make_unique<std::uint8_t[]>(new_capacity + flat_table_detail::kGroupWidth - 1);
    auto index = std::make_unique<std::uint32_t[]>(new_capacity);
    Slot* entries = std::allocator<Slot>().allocate(flat_table_detail::max_load(new_capacity));
    // Nothing below can fail.
    for (std::size_t i = 0; i < size_; ++i) {
      std::construct_at(&entries[i], std::move(entries_[i].key), entries_[i].hash, std::move(entries_[i].value));
      std::destroy_at(&entries_[i]);
    }
    release_storage();
    ctrl_ = ctrl.release();
    index_ = index.release();
    entries_ = entries;
    capacity_ = new_capacity;
    reindex(size_);
  }

  void destroy_entries() noexcept {
    if constexpr (!std::is_trivially_destructible_v<Slot>) {
      for (std::size_t i = 0; i < size_; ++i) std::destroy_at(&entries_[i]);
    }
    size_ = 0;
  }

  void release_storage() noexcept {
    if (capacity_ != 0) {
      std::allocator<Slot>().deallocate(entries_, flat_table_detail::max_load(capacity_));
      delete[] index_;
      delete[] ctrl_;
    }
  }

  [[no_unique_address]] Hasher hasher_;
  std::uint8_t* ctrl_ = nullptr;
  std::uint32_t* index_ = nullptr;
  Slot* entries_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t growth_left_ = 0;
};

}  // namespace vesk
