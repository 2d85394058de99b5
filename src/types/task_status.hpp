// TaskStatusDict: the status record of one task, seven optional fields.
//
// Layout. A store holds a million of these, and a hash-table slot costs its
// size divided by the table's load, so a record is one pointer to a heap
// block that packs the present fields (none at all: no block):
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
// takes 19 bytes, the smallest malloc chunk.
//
// Records are moved, never copied; `snapshot()` copies the fields out into a
// plain native value, for reading a stored record under its shard's read
// guard and building the dictionary after the guard is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

// The fields of a record copied out of it; owns its texts and a strong
// reference to the result. Converted to the dictionary form by to_python.
struct TaskStatusSnapshot {
  std::uint8_t present = 0;      // presence bits as in the record
  std::uint8_t status_code = 0;  // 0: the status text is in `status`
  double times[3] = {0.0, 0.0, 0.0};
  PyRef result;
  std::string status;
  std::string error;
  std::string worker_id;
};

// The dictionary form, keys in field order, present fields only. Returns a
// new reference or throws PythonError. GIL held, no native lock held.
PyObject* to_python(TaskStatusSnapshot&& snapshot);

class TaskStatusDict {
 public:
  TaskStatusDict() noexcept = default;  // every field absent
  TaskStatusDict(TaskStatusDict&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  TaskStatusDict& operator=(TaskStatusDict&& other) noexcept {
    if (this != &other) {
      reset();
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  TaskStatusDict(const TaskStatusDict&) = delete;
  TaskStatusDict& operator=(const TaskStatusDict&) = delete;
  ~TaskStatusDict() { reset(); }

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

  // Every field copied out; the result shared by a new reference. GIL held
  // (a reference count changes, no Python code runs).
  TaskStatusSnapshot snapshot() const;

  // A hint that the record is about to be read: starts loading its block.
  void prefetch() const noexcept { __builtin_prefetch(block_); }

  std::optional<double> submit_time() const noexcept { return time(0); }
  std::optional<double> start_time() const noexcept { return time(1); }
  std::optional<double> end_time() const noexcept { return time(2); }

  // Status exactly "completed" or exactly "failed" (both are always coded).
  bool has_final_status() const noexcept {
    using namespace status_layout;
    if (block_ == nullptr || (static_cast<std::uint8_t>(block_[0]) & kStatusCoded) == 0) return false;
    const auto code = static_cast<std::uint8_t>(block_[1]);
    return code == kCompletedCode || code == kFailedCode;
  }

  // end_time + ttl for a final status with an end_time, else nothing: the
  // expiry entry a write of this record schedules.
  std::optional<double> expiry_time(double ttl_seconds) const noexcept;

  // True if the record's own expiry time is not later than `now` (a NaN
  // expiry counts as passed, as it does on top of an expiry heap).
  bool expired(double ttl_seconds, double now) const noexcept;

  // end_time, else start_time, else submit_time, else 0.0.
  double age_key() const noexcept;

 private:
  class Builder;
  class Reader;

  explicit TaskStatusDict(std::byte* block) noexcept : block_(block) {}
  std::optional<double> time(unsigned index) const noexcept;
  void reset() noexcept;

  std::byte* block_ = nullptr;  // owned, allocated with new[]
};

static_assert(sizeof(TaskStatusDict) == sizeof(void*), "a record is one pointer");

}  // namespace vesk
