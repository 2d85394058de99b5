#include "module/class_def.hpp"

#include <string>

namespace vesk {

PyObject* create_type(PyType_Spec* spec, const char* class_name) {
  PyObject* type = PyType_FromSpec(spec);
  if (type != nullptr) return type;
  PyObject* cause_type = nullptr;
  PyObject* cause = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&cause_type, &cause, &traceback);
  PyErr_NormalizeException(&cause_type, &cause, &traceback);
  Py_XDECREF(cause_type);
  Py_XDECREF(traceback);
  const std::string message = std::string("An error occurred while initializing class ") + class_name;
  PyObject* error = PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str());
  if (error == nullptr) {
    Py_XDECREF(cause);
    throw PythonError{};
  }
  if (cause != nullptr) PyException_SetCause(error, cause);  // steals the cause
  PyErr_SetObject(PyExc_RuntimeError, error);
  Py_DECREF(error);
  throw PythonError{};
}

}  // namespace vesk
