#include "module/class_def.hpp"

#include <string>

namespace vesk {

PyObject* create_type(PyType_Spec* spec, const char* class_name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type != nullptr) return type;
  FetchedError cause = fetch_normalized_error();
  const std::string message = std::string("An error occurred while initializing class ") + class_name;
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
  if (!error) throw PythonError{};
  if (cause.value) PyException_SetCause(error.get(), cause.value.release());  // steals it
  PyErr_SetObject(PyExc_RuntimeError, error.get());
  throw PythonError{};
}

}  // namespace vesk
