// TaskStatusDict: the status record of one task, seven optional fields.
//
// Layout. A store holds a million of these, so a record is two words: one
// strong reference to the result object (absent when null) and one heap block
// holding every other present field. The block starts with a 16-byte header
// (presence bits and the three text lengths), then the present times in field
// order, then the present texts back to back. A record with no field but the
// result has no block at all.
//
// Records are moved, never copied implicitly; `snapshot()` makes the one
// explicit copy, for reading a stored record under its shard's read guard and
// building the dictionary after the guard is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "module/gil.hpp"
#include "module/kinds.hpp"

namespace vesk {

class TaskStatusDict {
 public:
  TaskStatusDict() noexcept = default;  // every field absent
  TaskStatusDict(TaskStatusDict&&) noexcept = default;
  TaskStatusDict& operator=(TaskStatusDict&&) noexcept = default;
  TaskStatusDict(const TaskStatusDict&) = delete;
  TaskStatusDict& operator=(const TaskStatusDict&) = delete;

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

  // A copy of every field; the result is shared by a new reference. GIL held
  // (the reference count changes, no Python code runs).
  TaskStatusDict snapshot() const;

  // Dictionary from record, keys in field order, present fields only.
  // Returns a new reference or throws PythonError. GIL held, no native lock.
  PyObject* to_dict() const;

  std::optional<std::string_view> status() const noexcept { return text(kStatusText); }
  std::optional<std::string_view> error() const noexcept { return text(kErrorText); }
  std::optional<std::string_view> worker_id() const noexcept { return text(kWorkerText); }
  std::optional<double> submit_time() const noexcept { return time(kSubmitTime); }
  std::optional<double> start_time() const noexcept { return time(kStartTime); }
  std::optional<double> end_time() const noexcept { return time(kEndTime); }
  PyObject* result() const noexcept { return result_.get(); }  // borrowed; null if absent

  // Status exactly "completed" or exactly "failed".
  bool has_final_status() const noexcept;

  // end_time + ttl for a final status with an end_time, else nothing: the
  // expiry entry a write of this record schedules.
  std::optional<double> expiry_time(double ttl_seconds) const noexcept;

  // True if the record's own expiry time is not later than `now`.
  bool expired(double ttl_seconds, double now) const noexcept;

  // end_time, else start_time, else submit_time, else 0.0.
  double age_key() const noexcept;

 private:
  // Indices of the packed fields.
  enum TimeField : unsigned { kSubmitTime = 0, kStartTime = 1, kEndTime = 2 };
  enum TextField : unsigned { kStatusText = 0, kErrorText = 1, kWorkerText = 2 };

  struct Header {
    std::uint8_t times_present;  // bit i: TimeField i
    std::uint8_t texts_present;  // bit i: TextField i
    std::uint8_t unused[2];
    std::uint32_t text_length[3];
  };
  static_assert(sizeof(Header) == 16, "times follow the header 8-byte aligned");

  class Builder;

  std::optional<double> time(TimeField field) const noexcept;
  std::optional<std::string_view> text(TextField field) const noexcept;
  const Header* header() const noexcept { return reinterpret_cast<const Header*>(block_.get()); }
  std::size_t block_size() const noexcept;

  std::unique_ptr<std::byte[]> block_;
  PyRef result_;
};

static_assert(sizeof(TaskStatusDict) == 2 * sizeof(void*), "a record is two words");

// The dictionary form, as the result kind "status record". GIL held.
inline PyObject* to_python(TaskStatusDict&& record) { return record.to_dict(); }

}  // namespace vesk
