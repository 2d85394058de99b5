// Argument and result kinds: how Python objects become native values and back.
//
// The kind of a parameter is the C++ type of the body's parameter:
//   Text (std::string_view)  text: a str, read as UTF-8 without copying
//   double                   float: anything PyFloat_AsDouble accepts
//   std::uint64_t            count: a non-negative int below 2**64
//   std::int32_t             small integer: an int in the signed 32-bit range
//   bool                     flag: True or False (or a numpy boolean)
//   Dict                     dictionary: a dict or subclass, by reference
//   std::tuple<X...>         tuple of N: a tuple of exactly N items
//   std::vector<X>           list of X: any sequence but a str
//   std::optional<X>         optional X: None for no value
//   PyRef                    object: any object, as a strong reference
// The result kind of a body is its C++ return type, converted by to_python.
// Conversions run with the interpreter lock held and throw PythonError.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/errors.hpp"
#include "module/gil.hpp"

namespace vesk {

using Text = std::string_view;

// A dict argument, borrowed for the call.
struct Dict {
  PyObject* obj;
};

// Keeps alive the objects whose buffers converted values point into (items
// of lists may be dropped by other threads while the body runs without the
// interpreter lock). Released at the end of the call, with the lock held.
class CallArena {
 public:
  CallArena() = default;
  CallArena(const CallArena&) = delete;
  CallArena& operator=(const CallArena&) = delete;
  ~CallArena() {
    for (PyObject* obj : kept_) release_reference(obj);
  }
  void keep(PyObject* owned) {
    try {
      kept_.push_back(owned);
    } catch (...) {
      release_reference(owned);
      throw;
    }
  }
  void reserve_more(std::size_t n) {
    if (kept_.size() + n > kept_.capacity()) kept_.reserve(std::max(kept_.size() + n, 2 * kept_.capacity()));
  }

 private:
  std::vector<PyObject*> kept_;
};

namespace kind_detail {

Text text(PyObject* obj);
double float_value(PyObject* obj);
std::uint64_t count(PyObject* obj);
std::int32_t small_integer(PyObject* obj);
bool flag(PyObject* obj);
Dict dict(PyObject* obj);
void check_tuple(PyObject* obj, Py_ssize_t expected);
// Checks that obj may be read as a list; returns its size hint.
Py_ssize_t check_sequence(PyObject* obj);

}  // namespace kind_detail

template <class T>
struct ArgKind;

template <>
struct ArgKind<Text> {
  static Text convert(PyObject* obj, CallArena&) { return kind_detail::text(obj); }
};
template <>
struct ArgKind<double> {
  static double convert(PyObject* obj, CallArena&) { return kind_detail::float_value(obj); }
};
template <>
struct ArgKind<std::uint64_t> {
  static std::uint64_t convert(PyObject* obj, CallArena&) { return kind_detail::count(obj); }
};
template <>
struct ArgKind<std::int32_t> {
  static std::int32_t convert(PyObject* obj, CallArena&) {
    return kind_detail::small_integer(obj);
  }
};
template <>
struct ArgKind<bool> {
  static bool convert(PyObject* obj, CallArena&) { return kind_detail::flag(obj); }
};
template <>
struct ArgKind<Dict> {
  static Dict convert(PyObject* obj, CallArena&) { return kind_detail::dict(obj); }
};
template <>
struct ArgKind<PyRef> {
  static PyRef convert(PyObject* obj, CallArena&) { return PyRef::borrow(obj); }
};

template <class X>
struct ArgKind<std::optional<X>> {
  static std::optional<X> convert(PyObject* obj, CallArena& arena) {
    if (obj == Py_None) return std::nullopt;
    return ArgKind<X>::convert(obj, arena);
  }
};

template <class... X>
struct ArgKind<std::tuple<X...>> {
  static std::tuple<X...> convert(PyObject* obj, CallArena& arena) {
    kind_detail::check_tuple(obj, sizeof...(X));
    return convert_items(obj, arena, std::index_sequence_for<X...>{});
  }

 private:
  template <std::size_t... I>
  static std::tuple<X...> convert_items(PyObject* obj, CallArena& arena,
                                        std::index_sequence<I...>) {
    // Braced initialisation converts the items strictly in order.
    return std::tuple<X...>{
        ArgKind<X>::convert(PyTuple_GetItem(obj, static_cast<Py_ssize_t>(I)), arena)...};
  }
};

template <class X>
struct ArgKind<std::vector<X>> {
  static std::vector<X> convert(PyObject* obj, CallArena& arena) {
    // __len__ only sizes the first allocation: a lying one must not make it huge.
    constexpr Py_ssize_t kMaxSizeHint = Py_ssize_t{1} << 20;
    const Py_ssize_t size_hint = std::min(kind_detail::check_sequence(obj), kMaxSizeHint);
    PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) throw_python_error();
    std::vector<X> values;
    values.reserve(static_cast<std::size_t>(size_hint));
    arena.reserve_more(static_cast<std::size_t>(size_hint));
    while (PyObject* item = PyIter_Next(iterator.get())) {
      arena.keep(item);  // owns the item; converted values may point into it
      values.push_back(ArgKind<X>::convert(item, arena));
    }
    if (PyErr_Occurred() != nullptr) throw PythonError{};
    return values;
  }
};

// ---- results ---------------------------------------------------------------

// Returns a new reference or throws PythonError. GIL held.
PyObject* to_python(bool value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(double value);
PyObject* to_python(std::string_view value);
inline PyObject* to_python(const std::string& value) { return to_python(std::string_view(value)); }
inline PyObject* to_python(PyRef&& value) { return value.release(); }

template <class X>
PyObject* to_python(std::optional<X>&& value) {
  if (!value) Py_RETURN_NONE;
  return to_python(std::move(*value));
}

template <class X>
PyObject* to_python(std::vector<X>&& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) throw PythonError{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = to_python(std::move(values[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace vesk
