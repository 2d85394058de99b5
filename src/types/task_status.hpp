// TaskStatusDict: the status record of one task, seven optional fields.
//
// Layout. A record is one block that packs the present fields (none at all:
// no block):
//
//   byte 0     presence bits, one per field in dictionary order, and bit 7:
//              "the status is a common status held as a one-byte code"
//   byte 1     that code, when bit 7 is set
//   8 bytes    each present time, in field order (unaligned)
//   8 bytes    the result object pointer, when present (a strong reference)
//   texts      status (unless coded), error, worker_id when present: a
//              LEB128 length, then the UTF-8 bytes
//
// A record with status "running", a submit_time and a worker_id "worker-1"
// takes 19 bytes. A block of up to 39 bytes sits inside the record itself,
// 40 bytes in all, so most records cost no allocation of their own and a
// reader finds the block in the same cache lines as the record's table entry;
// a longer block is allocated on its own and the record points to it.
//
// Records are moved, never copied. A reader copies a stored record's block
// out under its shard's read lock (RecordCopy, RecordCopies) and builds the
// dictionary from the copy after the lock is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "concurrent/intrinsics.hpp"
#include "module/gil.hpp"
#include "module/kinds.hpp"

namespace vesk {

namespace status_layout {
// Presence bits of a record block's first byte, in dictionary order.
enum : std::uint8_t {
  kStatus = 1u << 0,
  kSubmitTime = 1u << 1,
  kStartTime = 1u << 2,
  kEndTime = 1u << 3,
  kResult = 1u << 4,
  kError = 1u << 5,
  kWorkerId = 1u << 6,
  kStatusCoded = 1u << 7,  // the status is a common status, by code
};
// Codes of the two statuses the store itself knows.
inline constexpr std::uint8_t kCompletedCode = 10;
inline constexpr std::uint8_t kFailedCode = 11;
}  // namespace status_layout

class TaskStatusDict {
 public:
  TaskStatusDict() noexcept = default;  // every field absent
  // The block's bytes (a result reference among them) move bitwise; the
  // moved-from record is left empty.
  TaskStatusDict(TaskStatusDict&& other) noexcept { take(other); }
  TaskStatusDict& operator=(TaskStatusDict&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  TaskStatusDict(const TaskStatusDict&) = delete;
  TaskStatusDict& operator=(const TaskStatusDict&) = delete;
  ~TaskStatusDict() {
    if (size_ != 0) reset();  // moved-from records are many: no call for them
  }

  // Record from dictionary: looks the seven keys up exactly, in field order.
  // A wrong-typed value leaves its field absent (the error is discarded);
  // only a raising lookup fails (PythonError). GIL held, no native lock held.
  static TaskStatusDict from_dict(PyObject* dict);

  // Record from arguments: status present, the rest as given, result and
  // error absent. Needs no interpreter lock.
  static TaskStatusDict from_arguments(Text status, std::optional<double> submit_time,
                                       std::optional<double> start_time,
                                       std::optional<double> end_time,
                                       std::optional<Text> worker_id);

  // The record's block, byte for byte (one zero byte for an empty record).
  std::span<const std::byte> bytes() const noexcept;

  // True if the record holds a result: copying it needs the interpreter lock.
  bool has_result() const noexcept {
    const std::byte* block = this->block();
    return block != nullptr && (static_cast<std::uint8_t>(block[0]) & status_layout::kResult) != 0;
  }

  // A hint that the record is about to be read: starts loading a block held
  // apart from the record.
  void prefetch() const noexcept {
    if (size_ == kOnHeap) prefetch_for_read(heap());
  }

  std::optional<double> submit_time() const noexcept { return time(0); }
  std::optional<double> start_time() const noexcept { return time(1); }
  std::optional<double> end_time() const noexcept { return time(2); }

  // Status exactly "completed" or exactly "failed" (both are always coded).
  bool has_final_status() const noexcept {
    using namespace status_layout;
    const std::byte* block = this->block();
    if (block == nullptr || (static_cast<std::uint8_t>(block[0]) & kStatusCoded) == 0) return false;
    const auto code = static_cast<std::uint8_t>(block[1]);
    return code == kCompletedCode || code == kFailedCode;
  }

  // end_time + ttl for a final status with an end_time, else nothing: the
  // expiry entry a write of this record schedules.
  std::optional<double> expiry_time(double ttl_seconds) const noexcept {
    if (!has_final_status()) return std::nullopt;
    return final_expiry_time(ttl_seconds);
  }

  // True if the record's own expiry time is not later than `now` (a NaN
  // expiry counts as passed, as it does on top of an expiry heap).
  bool expired(double ttl_seconds, double now) const noexcept;

  // end_time, else start_time, else submit_time, else 0.0.
  double age_key() const noexcept;

 private:
  class Builder;

  static constexpr std::size_t kInlineBytes = 39;
  static constexpr std::uint8_t kOnHeap = 0xFF;

  const std::byte* block() const noexcept { return size_ == kOnHeap ? heap() : size_ != 0 ? inline_ : nullptr; }
  std::optional<double> time(unsigned index) const noexcept;
  std::optional<double> final_expiry_time(double ttl_seconds) const noexcept;  // expiry_time's rest
  void take(TaskStatusDict& other) noexcept;
  void reset() noexcept;

  // The block held apart (owned, from new[]), when size_ is kOnHeap.
  std::byte* heap() const noexcept {
    std::byte* block;
    std::memcpy(&block, inline_, sizeof block);
    return block;
  }

  // The block itself when it fits (size_ bytes), else the address of the
  // block held apart.
  alignas(std::byte*) std::byte inline_[kInlineBytes] = {};
  std::uint8_t size_ = 0;  // 0: no fields
};

static_assert(sizeof(TaskStatusDict) == 40, "a record is its inline block and one size byte");

// One record copied out of the store, for building its dictionary once no
// native lock is held. Holds a strong reference to the record's result.
class RecordCopy {
 public:
  // Copies `record`; the interpreter lock must be held if it has a result
  // (a reference count changes, no Python code runs).
  explicit RecordCopy(const TaskStatusDict& record);
  const std::byte* block() const noexcept { return spilled_ ? spilled_.get() : inline_; }

 private:
  std::byte inline_[48];
  std::unique_ptr<std::byte[]> spilled_;  // a block longer than inline_
  PyRef result_;
};

// The records of a batch read, copied into one buffer, one slot per id.
class RecordCopies {
 public:
  explicit RecordCopies(std::size_t slots) : offsets_(slots, kAbsent) { blocks_.reserve(32 * slots); }
  // Copies `record` into `slot`; the interpreter lock as for RecordCopy.
  void set(std::size_t slot, const TaskStatusDict& record);
  std::size_t size() const noexcept { return offsets_.size(); }
  // The copied block of `slot`, or nullptr for an absent record.
  const std::byte* block(std::size_t slot) const noexcept {
    return offsets_[slot] == kAbsent ? nullptr : blocks_.data() + offsets_[slot];
  }

 private:
  static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);
  std::vector<std::byte> blocks_;
  std::vector<std::size_t> offsets_;
  std::vector<PyRef> results_;
};

// The dictionary form, keys in field order, present fields only: a new
// reference (None for an absent record in a batch) or PythonError. GIL held,
// no native lock held.
PyObject* to_python(RecordCopy&& copy);
PyObject* to_python(RecordCopies&& copies);

}  // namespace vesk
