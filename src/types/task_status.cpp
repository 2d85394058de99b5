#include "types/task_status.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "module/errors.hpp"
#include "module/once.hpp"

namespace vesk {
namespace {

using namespace status_layout;

constexpr std::uint8_t kTimeBits = kSubmitTime | kStartTime | kEndTime;

constexpr std::uint8_t time_bit(unsigned index) { return static_cast<std::uint8_t>(kSubmitTime << index); }

// Statuses stored as a one-byte code (index; 0 means "not coded"). Any text
// equal to one of them is always coded, so comparing codes compares texts.
constexpr std::array<std::string_view, 21> kCommonStatuses = {
    "",         "pending", "queued",  "submitted", "scheduled", "waiting", "ready",
    "running",  "started", "retrying", "completed", "failed",   "success", "error",
    "cancelled", "timeout", "skipped", "blocked",  "paused",    "done",    "finished"};
static_assert(kCommonStatuses[kCompletedCode] == "completed" && kCommonStatuses[kFailedCode] == "failed");

// The length of the longest (or the shortest) common status.
constexpr std::size_t common_status_length(bool longest) {
  std::size_t found = longest ? 0 : SIZE_MAX;
  for (std::size_t code = 1; code < kCommonStatuses.size(); ++code) {
    const std::size_t n = kCommonStatuses[code].size();
    found = longest ? std::max(found, n) : std::min(found, n);
  }
  return found;
}

// The slot of a text of 4 or more bytes in kStatusSlots.
constexpr std::size_t status_slot(std::string_view text) {
  return (static_cast<unsigned char>(text[0]) + static_cast<unsigned char>(text[1]) +
          static_cast<unsigned char>(text.back())) % 64;
}

// The code of each common status at its slot. Throwing here would make the
// table not constant, so two statuses sharing a slot fail the build.
constexpr std::array<std::uint8_t, 64> kStatusSlots = [] {
  std::array<std::uint8_t, 64> slots{};
  for (std::uint8_t code = 1; code < kCommonStatuses.size(); ++code) {
    std::uint8_t& slot = slots[status_slot(kCommonStatuses[code])];
    if (slot != 0) throw "two common statuses share a slot";
    slot = code;
  }
  return slots;
}();

// The code of a common status, or 0. Runs on every write: one table load
// and at most one comparison.
std::uint8_t status_code(std::string_view status) noexcept {
  constexpr std::size_t kShortest = common_status_length(false);
  constexpr std::size_t kLongest = common_status_length(true);
  static_assert(kShortest >= 2, "status_slot reads the first two bytes");
  if (status.size() < kShortest || status.size() > kLongest) return 0;
  const std::uint8_t code = kStatusSlots[status_slot(status)];
  return code != 0 && kCommonStatuses[code] == status ? code : 0;
}

// Number of times present (0 to 3) for the presence byte.
unsigned time_count(std::uint8_t present) noexcept {
  constexpr std::uint8_t kBitsSet[8] = {0, 1, 1, 2, 1, 2, 2, 3};
  return kBitsSet[(present & kTimeBits) >> 1];
}

std::size_t varint_size(std::size_t n) noexcept {
  std::size_t size = 1;
  for (; n >= 0x80; n >>= 7) ++size;
  return size;
}

std::byte* put_varint(std::byte* out, std::size_t n) noexcept {
  for (; n >= 0x80; n >>= 7) *out++ = static_cast<std::byte>((n & 0x7f) | 0x80);
  *out++ = static_cast<std::byte>(n);
  return out;
}

const std::byte* get_varint(const std::byte* in, std::size_t& n) noexcept {
  n = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<std::uint8_t>(*in++);
    n |= static_cast<std::size_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return in;
  }
}

// ---- Python side -------------------------------------------------------------

enum class Field : unsigned { Status, SubmitTime, StartTime, EndTime, Result, Error, WorkerId };
constexpr std::array<const char*, 7> kKeyNames = {"status", "submit_time", "start_time", "end_time",
                                                  "result", "error",       "worker_id"};

// Interned key strings and common status strings, created on first use and
// kept for the process (one interpreter per process). GIL held.
PyObject* interned(std::atomic<PyObject*>& slot, const char* text) {
  return made_once(slot, [text] { return PyRef::steal(PyUnicode_InternFromString(text)); });
}

PyObject* key(Field field) {
  static std::array<std::atomic<PyObject*>, 7> keys{};
  const auto i = static_cast<unsigned>(field);
  return interned(keys[i], kKeyNames[i]);
}

PyRef common_status_object(std::uint8_t code) {
  static std::array<std::atomic<PyObject*>, kCommonStatuses.size()> statuses{};
  return PyRef::borrow(interned(statuses[code], kCommonStatuses[code].data()));
}

// The UTF-8 text of a str value, or nothing (error discarded). GIL held.
std::optional<std::string_view> lenient_text(PyObject* value) {
  if (!PyUnicode_Check(value)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);  // cached in the str
  if (utf8 == nullptr) {
    PyErr_Clear();  // lone surrogates: the field stays absent
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

// The float value of anything PyFloat_AsDouble accepts, or nothing. GIL held.
std::optional<double> lenient_float(PyObject* value) {
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return converted;
}

void set_item(PyObject* dict, Field field, PyRef value) {
  if (!value) throw_python_error();
  if (PyDict_SetItem(dict, key(field), value.get()) < 0) throw_python_error();
}

// The value of `key` in `dict` as a strong reference, empty when absent.
// Throws PythonError. GIL held.
PyRef dict_value(PyObject* dict, PyObject* key) {
#if Py_LIMITED_API + 0 >= 0x030D0000
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(dict, key, &found) < 0) throw PythonError{};
  return PyRef::steal(found);
#else
  // Borrowed, then owned before anything can run: exact under the interpreter lock.
  PyObject* found = PyDict_GetItemWithError(dict, key);
  if (found == nullptr && PyErr_Occurred() != nullptr) throw PythonError{};
  return PyRef::borrow(found);
#endif
}

PyRef new_text(std::string_view text) {
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// ---- block access ------------------------------------------------------------

class BlockReader {
 public:
  explicit BlockReader(const std::byte* block) noexcept
      : block_(block), present_(static_cast<std::uint8_t>(block[0])) {}

  std::uint8_t present() const noexcept { return present_; }
  std::uint8_t code() const noexcept {
    return (present_ & kStatusCoded) ? static_cast<std::uint8_t>(block_[1]) : 0;
  }

  std::optional<double> time(unsigned index) const noexcept {
    if ((present_ & time_bit(index)) == 0) return std::nullopt;
    const std::uint8_t earlier = present_ & static_cast<std::uint8_t>(time_bit(index) - kSubmitTime);
    double value;
    std::memcpy(&value, block_ + times_at() + sizeof(double) * time_count(earlier), sizeof value);
    return value;
  }

  PyObject* result() const noexcept {
    if ((present_ & kResult) == 0) return nullptr;
    PyObject* object;
    std::memcpy(&object, block_ + result_at(), sizeof object);
    return object;
  }

  // Calls f(index, value) for each time present, in field order.
  template <class F>
  void for_each_time(F&& f) const {
    const std::byte* at = block_ + times_at();
    for (unsigned i = 0; i < 3; ++i) {
      if ((present_ & time_bit(i)) == 0) continue;
      double value;
      std::memcpy(&value, at, sizeof value);
      at += sizeof value;
      f(i, value);
    }
  }

  // Calls f(presence bit, text) for each text stored in the block, in order;
  // returns the end of the block.
  template <class F>
  const std::byte* for_each_text(F&& f) const {
    const std::byte* at = block_ + result_at() + ((present_ & kResult) ? sizeof(PyObject*) : 0);
    if ((present_ & (kStatus | kStatusCoded)) == kStatus) at = visit_text(at, kStatus, f);
    if (present_ & kError) at = visit_text(at, kError, f);
    if (present_ & kWorkerId) at = visit_text(at, kWorkerId, f);
    return at;
  }

  std::size_t size() const noexcept {
    return static_cast<std::size_t>(for_each_text([](std::uint8_t, std::string_view) {}) - block_);
  }

 private:
  template <class F>
  static const std::byte* visit_text(const std::byte* at, std::uint8_t bit, F& f) {
    std::size_t size = 0;
    at = get_varint(at, size);
    f(bit, std::string_view(reinterpret_cast<const char*>(at), size));
    return at + size;
  }

  std::size_t times_at() const noexcept { return (present_ & kStatusCoded) ? 2 : 1; }
  std::size_t result_at() const noexcept { return times_at() + sizeof(double) * time_count(present_); }

  const std::byte* block_;
  std::uint8_t present_;
};

}  // namespace

// Collects present fields, then packs them into one block.
class TaskStatusDict::Builder {
 public:
  void set_status(std::string_view status) noexcept {
    present_ |= kStatus;
    code_ = status_code(status);
    if (code_ != 0) present_ |= kStatusCoded;
    texts_[0] = status;
  }
  void set_time(unsigned index, double value) noexcept {
    present_ |= time_bit(index);
    times_[index] = value;
  }
  void set_error(std::string_view error) noexcept {
    present_ |= kError;
    texts_[1] = error;
  }
  void set_worker_id(std::string_view worker_id) noexcept {
    present_ |= kWorkerId;
    texts_[2] = worker_id;
  }

  // Takes the result reference (may be empty) once the block exists.
  TaskStatusDict build(PyRef result) {
    if (result) present_ |= kResult;
    TaskStatusDict record;
    if (present_ == 0) return record;
    const std::size_t size = block_size();
    std::byte* out = record.inline_;
    if (size > kInlineBytes) {
      out = new std::byte[size];
      std::memcpy(record.inline_, &out, sizeof out);
    }
    record.size_ = size > kInlineBytes ? kOnHeap : static_cast<std::uint8_t>(size);
    *out++ = static_cast<std::byte>(present_);
    if (code_ != 0) *out++ = static_cast<std::byte>(code_);
    for (unsigned i = 0; i < 3; ++i) {
      if (present_ & time_bit(i)) {
        std::memcpy(out, &times_[i], sizeof(double));
        out += sizeof(double);
      }
    }
    if (result) {
      PyObject* owned = result.release();
      std::memcpy(out, &owned, sizeof owned);
      out += sizeof owned;
    }
    if (stores_status_text()) out = put_text(out, texts_[0]);
    if (present_ & kError) out = put_text(out, texts_[1]);
    if (present_ & kWorkerId) out = put_text(out, texts_[2]);
    return record;
  }

 private:
  bool stores_status_text() const noexcept { return (present_ & (kStatus | kStatusCoded)) == kStatus; }

  static std::size_t text_size(std::string_view text) noexcept { return varint_size(text.size()) + text.size(); }

  static std::byte* put_text(std::byte* out, std::string_view text) noexcept {
    out = put_varint(out, text.size());
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    return out + text.size();
  }

  std::size_t block_size() const noexcept {
    std::size_t size = 1 + (code_ != 0 ? 1 : 0) + sizeof(double) * time_count(present_) +
                       ((present_ & kResult) ? sizeof(PyObject*) : 0);
    if (stores_status_text()) size += text_size(texts_[0]);
    if (present_ & kError) size += text_size(texts_[1]);
    if (present_ & kWorkerId) size += text_size(texts_[2]);
    return size;
  }

  std::uint8_t present_ = 0;
  std::uint8_t code_ = 0;
  double times_[3] = {0.0, 0.0, 0.0};
  std::string_view texts_[3];
};

// ---- conversions ---------------------------------------------------------------

TaskStatusDict TaskStatusDict::from_dict(PyObject* dict) {
  Builder builder;
  // Strong references to the values read: a later lookup may run Python code
  // (a key's __eq__) that drops a value whose UTF-8 buffer the builder holds.
  std::array<PyRef, 7> values;
  for (unsigned i = 0; i < values.size(); ++i) {
    const auto field = static_cast<Field>(i);
    values[i] = dict_value(dict, key(field));
    PyObject* value = values[i].get();
    if (value == nullptr) continue;
    switch (field) {
      case Field::Status:
        if (auto text = lenient_text(value)) builder.set_status(*text);
        break;
      case Field::SubmitTime:
      case Field::StartTime:
      case Field::EndTime:
        if (auto time = lenient_float(value)) builder.set_time(i - 1, *time);
        break;
      case Field::Result:
        break;  // held in values[Result] until the block takes it
      case Field::Error:
        if (auto text = lenient_text(value)) builder.set_error(*text);
        break;
      case Field::WorkerId:
        if (auto text = lenient_text(value)) builder.set_worker_id(*text);
        break;
    }
  }
  return builder.build(std::move(values[static_cast<unsigned>(Field::Result)]));
}

TaskStatusDict TaskStatusDict::from_arguments(Text status, std::optional<double> submit_time,
                                              std::optional<double> start_time,
                                              std::optional<double> end_time,
                                              std::optional<Text> worker_id) {
  Builder builder;
  builder.set_status(status);
  if (submit_time) builder.set_time(0, *submit_time);
  if (start_time) builder.set_time(1, *start_time);
  if (end_time) builder.set_time(2, *end_time);
  if (worker_id) builder.set_worker_id(*worker_id);
  return builder.build(PyRef());
}

std::span<const std::byte> TaskStatusDict::bytes() const noexcept {
  static constexpr std::byte kNoFields{0};
  if (size_ == 0) return {&kNoFields, 1};
  if (size_ != kOnHeap) return {inline_, size_};
  return {heap(), BlockReader(heap()).size()};
}

RecordCopy::RecordCopy(const TaskStatusDict& record) {
  const auto bytes = record.bytes();
  std::byte* out = inline_;
  if (bytes.size() > sizeof inline_) {
    spilled_ = std::make_unique<std::byte[]>(bytes.size());
    out = spilled_.get();
  }
  std::memcpy(out, bytes.data(), bytes.size());
  result_ = PyRef::borrow(BlockReader(out).result());  // last: nothing can fail after it
}

void RecordCopies::set(std::size_t slot, const TaskStatusDict& record) {
  const auto bytes = record.bytes();
  const std::size_t offset = blocks_.size();
  if (record.has_result() && results_.size() == results_.capacity()) {
    results_.reserve(std::max<std::size_t>(16, 2 * results_.size()));  // before any change
  }
  blocks_.insert(blocks_.end(), bytes.begin(), bytes.end());
  offsets_[slot] = offset;
  if (record.has_result()) results_.push_back(PyRef::borrow(BlockReader(bytes.data()).result()));
}

namespace {

// What a prototype dict is kept under: the fields present, the status code,
// and the status (when not coded) and worker id texts of a block. Texts of at
// most 16 bytes are part of the key, zero-padded; a longer one is not (its
// size is kNotKeyed) and is set on each copy instead.
struct PrototypeKey {
  static constexpr std::uint8_t kNotKeyed = 0xFF;
  static constexpr std::size_t kLongestKeyed = 16;

  std::uint8_t present = 0;
  std::uint8_t code = 0;
  std::uint8_t status_size = kNotKeyed;
  std::uint8_t worker_size = kNotKeyed;
  std::uint64_t status[2] = {0, 0};
  std::uint64_t worker[2] = {0, 0};

  bool operator==(const PrototypeKey&) const = default;

  // Whole words are copied as such; a call to memcpy would cost more than
  // the copy.
  static void keep(std::string_view text, std::uint8_t& size, std::uint64_t (&words)[2]) noexcept {
    const std::size_t n = text.size();
    if (n > kLongestKeyed) return;
    size = static_cast<std::uint8_t>(n);
    std::size_t done = 0;
    for (; done + 8 <= n; done += 8) std::memcpy(&words[done / 8], text.data() + done, 8);
    auto* bytes = reinterpret_cast<unsigned char*>(words);
    for (; done < n; ++done) bytes[done] = static_cast<unsigned char>(text[done]);
  }

  std::size_t slot(std::size_t slots) const noexcept {
    const std::uint64_t mix = (status[0] ^ status[1] * 0x9E3779B97F4A7C15ULL) * 0xC2B2AE3D27D4EB4FULL ^
                              (worker[0] ^ worker[1] * 0x9E3779B97F4A7C15ULL) * 0x165667B19E3779F9ULL ^
                              (std::uint64_t{present} << 8 | code);
    return (mix ^ (mix >> 29)) % slots;
  }
};

// The texts of a block that a prototype cannot hold: each is set on the copy.
struct LooseTexts {
  std::string_view status, worker_id, error;
  bool has_status = false, has_worker_id = false;
};

PyObject* text_or_none(std::uint8_t size, const std::uint64_t (&words)[2]) {
  if (size == PrototypeKey::kNotKeyed) return Py_NewRef(Py_None);
  PyRef text = new_text(std::string_view(reinterpret_cast<const char*>(words), size));
  if (!text) throw_python_error();
  return text.release();
}

// A dict with the keys of the fields in `wanted.present`, in field order, whose
// status and worker_id are the wanted texts (None where not keyed) and whose
// other values are None. Copying one is cheaper than building a dict key by
// key and, as statuses and worker ids repeat across records, leaves only the
// times to set (gain: the get_status_batch rows of bench/run.py). The
// combinations in use lately are kept, direct-mapped.
PyRef make_prototype(const PrototypeKey& wanted) {
  PyRef fresh = PyRef::steal(PyDict_New());
  if (!fresh) throw_python_error();
  for (unsigned i = 0; i < kKeyNames.size(); ++i) {
    if ((wanted.present & (1u << i)) == 0) continue;
    const auto field = static_cast<Field>(i);
    PyRef value = PyRef::steal(
        field == Field::Status && wanted.code != 0 ? common_status_object(wanted.code).release()
        : field == Field::Status                 ? text_or_none(wanted.status_size, wanted.status)
        : field == Field::WorkerId               ? text_or_none(wanted.worker_size, wanted.worker)
                                                 : Py_NewRef(Py_None));
    if (PyDict_SetItem(fresh.get(), key(field), value.get()) < 0) throw_python_error();
  }
  return fresh;
}

// The interpreter lock guards the cache; without one (abi3t) a mutex does.
// It is only ever tried, never waited for, and never held while Python code
// may run: a thread that finds it taken makes a prototype of its own.
#if defined(Py_TARGET_ABI3T)
using PrototypeCacheLock = std::mutex;
#else
struct PrototypeCacheLock {
  bool try_lock() noexcept { return true; }
  void unlock() noexcept {}
};
#endif

PyRef prototype(const PrototypeKey& wanted) {
  struct Entry {
    PrototypeKey key;
    PyObject* dict = nullptr;
  };
  static std::array<Entry, 256> cache;
  static PrototypeCacheLock cache_lock;
  Entry& entry = cache[wanted.slot(cache.size())];
  if (cache_lock.try_lock()) {
    PyRef hit = entry.dict != nullptr && entry.key == wanted ? PyRef::borrow(entry.dict) : PyRef();
    cache_lock.unlock();
    if (hit) return hit;
  }
  PyRef fresh = make_prototype(wanted);
  PyObject* replaced = nullptr;
  if (cache_lock.try_lock()) {
    replaced = std::exchange(entry.dict, fresh.clone().release());
    entry.key = wanted;
    cache_lock.unlock();
  }
  Py_XDECREF(replaced);  // holds only str and None: its release runs no Python code
  return fresh;
}

// The prototype last used by a conversion, held so that a run of records of
// one shape skips the cache lookup.
struct LastPrototype {
  PrototypeKey key;
  PyRef dict;
};

// Sets a time field to a new float. GIL held.
void set_time(PyObject* dict, unsigned index, double time) {
  PyObject* field_key = key(static_cast<Field>(index + 1));
  PyObject* value = PyFloat_FromDouble(time);
  if (value == nullptr) throw_python_error();
  const int failed = PyDict_SetItem(dict, field_key, value);
  Py_DECREF(value);  // a float's release runs no Python code
  if (failed < 0) throw_python_error();
}

// The dictionary of a copied block; its result is borrowed from the copy's
// owner.
PyObject* dict_from_block(const std::byte* block, LastPrototype& last) {
  const BlockReader reader(block);
  PrototypeKey prototype_key{.present = reader.present(), .code = reader.code()};
  LooseTexts loose;
  reader.for_each_text([&](std::uint8_t bit, std::string_view text) {
    if (bit == kError) {
      loose.error = text;
    } else if (bit == kStatus) {
      PrototypeKey::keep(text, prototype_key.status_size, prototype_key.status);
      loose.status = text;
      loose.has_status = prototype_key.status_size == PrototypeKey::kNotKeyed;
    } else {
      PrototypeKey::keep(text, prototype_key.worker_size, prototype_key.worker);
      loose.worker_id = text;
      loose.has_worker_id = prototype_key.worker_size == PrototypeKey::kNotKeyed;
    }
  });
  // Held while it is copied: the copy may run the garbage collector, whose
  // finalizers may read records and replace the prototype in its cache.
  if (!last.dict || !(last.key == prototype_key)) {
    last.dict = prototype(prototype_key);
    last.key = prototype_key;
  }
  PyRef dict = PyRef::steal(PyDict_Copy(last.dict.get()));
  if (!dict) throw_python_error();
  if (loose.has_status) set_item(dict.get(), Field::Status, new_text(loose.status));
  if (loose.has_worker_id) set_item(dict.get(), Field::WorkerId, new_text(loose.worker_id));
  reader.for_each_time([&](unsigned i, double time) { set_time(dict.get(), i, time); });
  if (PyObject* result = reader.result()) set_item(dict.get(), Field::Result, PyRef::borrow(result));
  if (reader.present() & kError) set_item(dict.get(), Field::Error, new_text(loose.error));
  return dict.release();
}

}  // namespace

PyObject* to_python(RecordCopy&& copy) {
  LastPrototype last;
  return dict_from_block(copy.block(), last);
}

PyObject* to_python(RecordCopies&& copies) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(copies.size())));
  if (!list) throw_python_error();
  // Untracked while it is filled: every young-generation collection that the
  // dicts' allocations start would traverse it otherwise.
  PyObject_GC_UnTrack(list.get());
  LastPrototype last;
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const std::byte* block = copies.block(i);
    PyObject* item = block != nullptr ? dict_from_block(block, last) : Py_NewRef(Py_None);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

// ---- derived values ------------------------------------------------------------

void TaskStatusDict::take(TaskStatusDict& other) noexcept {
  std::memcpy(inline_, other.inline_, kInlineBytes);  // or the heap block's address
  size_ = std::exchange(other.size_, 0);
}

void TaskStatusDict::reset() noexcept {
  const std::byte* block = this->block();
  if (block == nullptr) return;
  // Deferred when the interpreter lock is not held (or in a region body).
  if (PyObject* result = BlockReader(block).result()) release_reference(result);
  if (size_ == kOnHeap) delete[] heap();
  size_ = 0;
}

std::optional<double> TaskStatusDict::time(unsigned index) const noexcept {
  const std::byte* block = this->block();
  if (block == nullptr) return std::nullopt;
  return BlockReader(block).time(index);
}

std::optional<double> TaskStatusDict::final_expiry_time(double ttl_seconds) const noexcept {
  const auto end = end_time();
  if (!end) return std::nullopt;
  return *end + ttl_seconds;
}

bool TaskStatusDict::expired(double ttl_seconds, double now) const noexcept {
  const auto expires = expiry_time(ttl_seconds);
  return expires && !(*expires > now);
}

double TaskStatusDict::age_key() const noexcept {
  const std::byte* block = this->block();
  if (block == nullptr) return 0.0;
  const BlockReader reader(block);
  for (unsigned i : {2u, 1u, 0u}) {  // end_time, start_time, submit_time
    if (auto time = reader.time(i)) return *time;
  }
  return 0.0;
}

}  // namespace vesk
