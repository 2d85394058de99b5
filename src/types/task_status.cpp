#include "types/task_status.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "module/errors.hpp"

namespace vesk {
namespace {

// The seven fields in dictionary order.
enum class Field : unsigned { Status, SubmitTime, StartTime, EndTime, Result, Error, WorkerId };
constexpr std::array<const char*, 7> kKeyNames = {"status", "submit_time", "start_time", "end_time",
                                                  "result", "error",       "worker_id"};

// The interned key strings, created on first use and kept for the process
// (one interpreter per process). GIL held.
PyObject* key(Field field) {
  static std::array<PyObject*, 7> keys{};
  PyObject*& slot = keys[static_cast<unsigned>(field)];
  if (slot == nullptr) {
    slot = PyUnicode_InternFromString(kKeyNames[static_cast<unsigned>(field)]);
    if (slot == nullptr) throw_python_error();
  }
  return slot;
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

PyRef new_text(std::string_view text) {
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

// Collects present fields, then packs them into one block.
class TaskStatusDict::Builder {
 public:
  void set_time(TimeField field, double value) noexcept {
    times_present_ |= static_cast<std::uint8_t>(1u << field);
    times_[field] = value;
  }
  void set_text(TextField field, std::string_view value) noexcept {
    texts_present_ |= static_cast<std::uint8_t>(1u << field);
    texts_[field] = value;
  }

  TaskStatusDict build(PyRef result) const {
    TaskStatusDict record;
    if (times_present_ != 0 || texts_present_ != 0) record.block_ = pack();
    record.result_ = std::move(result);
    return record;
  }

 private:
  std::unique_ptr<std::byte[]> pack() const {
    Header header{times_present_, texts_present_, {0, 0}, {0, 0, 0}};
    std::size_t size = sizeof(Header) + sizeof(double) * std::popcount(times_present_);
    for (unsigned i = 0; i < 3; ++i) {
      if (texts_[i].size() > std::numeric_limits<std::uint32_t>::max()) {
        throw RaisePython{&PyExc_OverflowError, "a status record text is longer than 4 GiB"};
      }
      header.text_length[i] = static_cast<std::uint32_t>(texts_[i].size());
      size += texts_[i].size();
    }
    auto block = std::make_unique_for_overwrite<std::byte[]>(size);
    std::byte* out = block.get();
    std::memcpy(out, &header, sizeof header);
    out += sizeof header;
    for (unsigned i = 0; i < 3; ++i) {
      if ((times_present_ >> i) & 1u) {
        std::memcpy(out, &times_[i], sizeof(double));
        out += sizeof(double);
      }
    }
    for (unsigned i = 0; i < 3; ++i) {
      if (!texts_[i].empty()) std::memcpy(out, texts_[i].data(), texts_[i].size());
      out += texts_[i].size();
    }
    return block;
  }

  std::uint8_t times_present_ = 0;
  std::uint8_t texts_present_ = 0;
  double times_[3] = {0.0, 0.0, 0.0};
  std::string_view texts_[3];
};

TaskStatusDict TaskStatusDict::from_dict(PyObject* dict) {
  Builder builder;
  // Strong references to the values read: a later lookup may run Python code
  // (a key's __eq__) that drops a value whose UTF-8 buffer the builder holds.
  std::array<PyRef, 7> values;
  for (unsigned i = 0; i < values.size(); ++i) {
    const auto field = static_cast<Field>(i);
    PyObject* found = PyDict_GetItemWithError(dict, key(field));
    if (found == nullptr) {
      if (PyErr_Occurred() != nullptr) throw PythonError{};
      continue;
    }
    values[i] = PyRef::borrow(found);
    PyObject* value = values[i].get();
    switch (field) {
      case Field::Status:
        if (auto text = lenient_text(value)) builder.set_text(kStatusText, *text);
        break;
      case Field::SubmitTime:
        if (auto time = lenient_float(value)) builder.set_time(kSubmitTime, *time);
        break;
      case Field::StartTime:
        if (auto time = lenient_float(value)) builder.set_time(kStartTime, *time);
        break;
      case Field::EndTime:
        if (auto time = lenient_float(value)) builder.set_time(kEndTime, *time);
        break;
      case Field::Result:
        break;  // kept as values[Result]
      case Field::Error:
        if (auto text = lenient_text(value)) builder.set_text(kErrorText, *text);
        break;
      case Field::WorkerId:
        if (auto text = lenient_text(value)) builder.set_text(kWorkerText, *text);
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
  builder.set_text(kStatusText, status);
  if (submit_time) builder.set_time(kSubmitTime, *submit_time);
  if (start_time) builder.set_time(kStartTime, *start_time);
  if (end_time) builder.set_time(kEndTime, *end_time);
  if (worker_id) builder.set_text(kWorkerText, *worker_id);
  return builder.build(PyRef());
}

std::size_t TaskStatusDict::block_size() const noexcept {
  const Header* h = header();
  return sizeof(Header) + sizeof(double) * std::popcount(h->times_present) + h->text_length[0] +
         h->text_length[1] + h->text_length[2];
}

TaskStatusDict TaskStatusDict::snapshot() const {
  TaskStatusDict copy;
  if (block_) {
    const std::size_t size = block_size();
    copy.block_ = std::make_unique_for_overwrite<std::byte[]>(size);
    std::memcpy(copy.block_.get(), block_.get(), size);
  }
  copy.result_ = result_.clone();
  return copy;
}

std::optional<double> TaskStatusDict::time(TimeField field) const noexcept {
  if (!block_) return std::nullopt;
  const unsigned present = header()->times_present;
  if (((present >> field) & 1u) == 0) return std::nullopt;
  const unsigned before = static_cast<unsigned>(std::popcount(present & ((1u << field) - 1u)));
  double value;
  std::memcpy(&value, block_.get() + sizeof(Header) + sizeof(double) * before, sizeof value);
  return value;
}

std::optional<std::string_view> TaskStatusDict::text(TextField field) const noexcept {
  if (!block_) return std::nullopt;
  const Header* h = header();
  if (((h->texts_present >> field) & 1u) == 0) return std::nullopt;
  std::size_t offset = sizeof(Header) + sizeof(double) * std::popcount(h->times_present);
  for (unsigned i = 0; i < field; ++i) offset += h->text_length[i];
  return std::string_view(reinterpret_cast<const char*>(block_.get() + offset),
                          h->text_length[field]);
}

bool TaskStatusDict::has_final_status() const noexcept {
  const auto s = status();
  return s && (*s == "completed" || *s == "failed");
}

std::optional<double> TaskStatusDict::expiry_time(double ttl_seconds) const noexcept {
  if (!has_final_status()) return std::nullopt;
  const auto end = end_time();
  if (!end) return std::nullopt;
  return *end + ttl_seconds;
}

bool TaskStatusDict::expired(double ttl_seconds, double now) const noexcept {
  const auto expires = expiry_time(ttl_seconds);
  // "Not later than now", as for heap entries: a NaN expiry counts as passed.
  return expires && !(*expires > now);
}

double TaskStatusDict::age_key() const noexcept {
  if (auto end = end_time()) return *end;
  if (auto start = start_time()) return *start;
  if (auto submit = submit_time()) return *submit;
  return 0.0;
}

PyObject* TaskStatusDict::to_dict() const {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) throw_python_error();
  if (auto s = status()) set_item(dict.get(), Field::Status, new_text(*s));
  if (auto t = submit_time()) set_item(dict.get(), Field::SubmitTime, PyRef::steal(PyFloat_FromDouble(*t)));
  if (auto t = start_time()) set_item(dict.get(), Field::StartTime, PyRef::steal(PyFloat_FromDouble(*t)));
  if (auto t = end_time()) set_item(dict.get(), Field::EndTime, PyRef::steal(PyFloat_FromDouble(*t)));
  if (result_) set_item(dict.get(), Field::Result, result_.clone());
  if (auto e = error()) set_item(dict.get(), Field::Error, new_text(*e));
  if (auto w = worker_id()) set_item(dict.get(), Field::WorkerId, new_text(*w));
  return dict.release();
}

}  // namespace vesk
