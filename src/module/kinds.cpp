#include "module/kinds.hpp"

#include <cstring>
#include <limits>

namespace vesk::kind_detail {

namespace {
// Under the limited API the Py*_Check macros call into the interpreter for
// the type's flags; comparing with the exact type first skips that call for
// the common case. Subclasses still take the full check.
bool is_str(PyObject* obj) { return Py_TYPE(obj) == &PyUnicode_Type || PyUnicode_Check(obj); }
bool is_int(PyObject* obj) { return Py_TYPE(obj) == &PyLong_Type || PyLong_Check(obj); }
bool is_tuple(PyObject* obj) { return Py_TYPE(obj) == &PyTuple_Type || PyTuple_Check(obj); }
bool is_dict(PyObject* obj) { return Py_TYPE(obj) == &PyDict_Type || PyDict_Check(obj); }
}  // namespace

Text text(PyObject* obj) {
  if (!is_str(obj)) throw_cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // cached in the str
  if (utf8 == nullptr) throw_python_error();
  return Text(utf8, static_cast<std::size_t>(size));
}

double float_value(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
  return value;
}

namespace {
// Reads obj, an int, or else the int its __index__ returns.
template <class Read>
auto read_index(PyObject* obj, Read read) {
  if (is_int(obj)) return read(obj);
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) throw_python_error();
  return read(index.get());
}
}  // namespace

std::uint64_t count(PyObject* obj) {
  return read_index(obj, [](PyObject* index) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
      throw PythonError{};
    }
    return static_cast<std::uint64_t>(value);
  });
}

std::int32_t small_integer(PyObject* obj) {
  const long value = read_index(obj, [](PyObject* index) {
    const long read = PyLong_AsLong(index);
    if (read == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
    return read;
  });
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw_python(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int32_t>(value);
}

namespace {
// A UTF-8 copy of a str attribute of obj, or empty if it has none.
std::string str_attribute(PyObject* obj, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

bool is_numpy_bool(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (str_attribute(type, "__module__") != "numpy") return false;
  const std::string name = str_attribute(type, "__name__");
  return name == "bool_" || name == "bool";
}

bool numpy_bool(PyObject* obj) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef method = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    PyErr_Clear();
    throw_python(PyExc_TypeError, "object of type '" + qualified_type_name(obj) +
                                      "' does not define a '__bool__' conversion");
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) throw_python_error();
  if (result.get() == Py_True) return true;
  if (result.get() == Py_False) return false;
  throw_cannot_convert(result.get(), "PyBool");
}
}  // namespace

bool flag(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) return numpy_bool(obj);
  throw_cannot_convert(obj, "PyBool");
}

Dict dict(PyObject* obj) {
  if (!is_dict(obj)) throw_cannot_convert(obj, "PyDict");
  return Dict{obj};
}

void check_tuple(PyObject* obj, Py_ssize_t expected) {
  if (!is_tuple(obj)) throw_cannot_convert(obj, "PyTuple");
  const Py_ssize_t size = PyTuple_Size(obj);
  if (size != expected) {
    throw_python(PyExc_ValueError, "expected tuple of length " + std::to_string(expected) +
                                       ", but got tuple of length " + std::to_string(size));
  }
}

Py_ssize_t check_sequence(PyObject* obj) {
  if (is_str(obj)) throw_python(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (Py_TYPE(obj) != &PyList_Type && !PySequence_Check(obj)) throw_cannot_convert(obj, "Sequence");
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return size;
}

}  // namespace vesk::kind_detail

namespace vesk {

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_python(std::uint64_t value) {
  PyObject* obj = PyLong_FromUnsignedLongLong(value);
  if (obj == nullptr) throw PythonError{};
  return obj;
}

PyObject* to_python(double value) {
  PyObject* obj = PyFloat_FromDouble(value);
  if (obj == nullptr) throw PythonError{};
  return obj;
}

PyObject* to_python(std::string_view value) {
  PyObject* obj = PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  if (obj == nullptr) throw PythonError{};
  return obj;
}

}  // namespace vesk
