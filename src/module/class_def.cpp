#include "module/class_def.hpp"

#include <string>

namespace vesk {

PyObject* create_type(PyType_Spec* spec, const char* class_name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type != nullptr) return type;
  PyObject* raw_type = nullptr;
  PyObject* raw_cause = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_cause, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_cause, &raw_traceback);
  PyRef cause_type = PyRef::steal(raw_type);
  PyRef cause = PyRef::steal(raw_cause);
  PyRef traceback = PyRef::steal(raw_traceback);
  const std::string message = std::string("An error occurred while initializing class ") + class_name;
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str()));
  if (!error) throw PythonError{};
  if (cause) PyException_SetCause(error.get(), cause.release());  // steals the cause
  PyErr_SetObject(PyExc_RuntimeError, error.get());
  throw PythonError{};
}

}  // namespace vesk
