#include "module/errors.hpp"

#include "module/gil.hpp"

namespace vesk {

void throw_python_error() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PythonError{};
}

void throw_python(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

FetchedError fetch_normalized_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return FetchedError{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

std::string qualified_type_name(PyObject* obj) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) throw_python_error();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) throw_python_error();
  return std::string(utf8, static_cast<std::size_t>(size));
}

void throw_cannot_convert(PyObject* obj, const char* target) {
  std::string message = "'";
  message.append(qualified_type_name(obj)).append("' object cannot be converted to '");
  message.append(target).append("'");
  throw_python(PyExc_TypeError, message);
}

}  // namespace vesk
