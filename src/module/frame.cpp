#include "module/frame.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "module/once.hpp"

namespace vesk {
namespace {

std::string full_name(const Signature& sig) {
  if (sig.class_name == nullptr) return std::string(sig.method_name) + "()";
  return std::string(sig.class_name) + "." + sig.method_name + "()";
}

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string message = full_name(sig) + " takes ";
  if (sig.required < sig.count) {
    message += "from " + std::to_string(sig.required) + " to ";
  }
  message += std::to_string(sig.count) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  throw_python(PyExc_TypeError, message);
}

[[noreturn]] void missing_required(const Signature& sig, PyObject* const* slots) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) names.push_back("'" + std::string(sig.params[i].name) + "'");
  }
  std::string listed;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) listed += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    listed += names[i];
  }
  throw_python(PyExc_TypeError, full_name(sig) + " missing " + std::to_string(names.size()) +
                                    " required positional " +
                                    (names.size() == 1 ? "argument" : "arguments") + ": " + listed);
}

std::string_view utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) throw_python_error();
  return {utf8, static_cast<std::size_t>(size)};
}

// Places one keyword argument into its slot.
void assign_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** slots) {
  const std::string_view wanted = utf8_view(name);
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (wanted != sig.params[i].name) continue;
    if (slots[i] != nullptr) {
      throw_python(PyExc_TypeError, full_name(sig) + " got multiple values for argument '" +
                                        std::string(wanted) + "'");
    }
    slots[i] = value;
    return;
  }
  throw_python(PyExc_TypeError, full_name(sig) + " got an unexpected keyword argument '" +
                                    std::string(wanted) + "'");
}

void assign_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject** slots) {
  if (static_cast<std::size_t>(nargs) > sig.count) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
}

void check_required(const Signature& sig, Py_ssize_t nargs, PyObject* const* slots) {
  if (static_cast<std::size_t>(nargs) >= sig.required) return;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) missing_required(sig, slots);
  }
}

// Created on first need and kept for the process. Throws PythonError.
PyObject* panic_exception_type() {
  static std::atomic<PyObject*> type{nullptr};
  return made_once(type, [] {
    return PyRef::steal(PyErr_NewExceptionWithDoc(
        "ext_runtime.PanicException",
        "\nThe exception raised when Velm code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n",
        PyExc_BaseException, nullptr));
  });
}

void report_failure(const char* message, const std::source_location* where) {
  if (where != nullptr) {
    std::fprintf(stderr, "vesk_async_task: internal failure in %s (%s:%u): %s\n",
                 where->function_name(), where->file_name(),
                 static_cast<unsigned>(where->line()), message);
  } else {
    std::fprintf(stderr, "vesk_async_task: internal failure: %s\n", message);
  }
  std::fflush(stderr);
}

void raise_panic(const char* message, const std::source_location* where) {
  report_failure(message, where);
  PyObject* type = nullptr;
  try {
    type = panic_exception_type();
  } catch (const PythonError&) {
    return;  // the creation error stays set
  }
  PyErr_SetString(type, message[0] != '\0' ? message : "panic from Velm code");
}

}  // namespace

void parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
  assign_positional(sig, args, nargs, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      assign_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], slots);
    }
  }
  check_required(sig, nargs, slots);
}

void parse_tuple_and_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                          PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (static_cast<std::size_t>(nargs) > sig.count) too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) assign_keyword(sig, name, value, slots);
  }
  check_required(sig, nargs, slots);
}

void rethrow_with_argument_name(const char* param) {
  if (PyErr_Occurred() == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) {
    throw_python_error();
  }
  FetchedError error = fetch_normalized_error();
  PyObject* value = error.value.get();
  if (error.type.get() != PyExc_TypeError) {  // a subclass of TypeError passes unchanged
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    throw PythonError{};
  }
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) throw_python_error();
  const std::string message = "argument '" + std::string(param) + "': " +
                              std::string(utf8_view(text.get()));
  PyRef wrapped = PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
  if (!wrapped) throw_python_error();
  if (PyObject* cause = PyException_GetCause(value)) {
    PyException_SetCause(wrapped.get(), cause);  // steals the cause
  }
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
  throw PythonError{};
}

PyObject* translate_current_exception() {
  try {
    throw;
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const RaisePython& raise) {
    PyErr_SetString(*raise.type, raise.message);
  } catch (const Panic& panic) {
    raise_panic(panic.what(), &panic.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what(), nullptr);
  } catch (...) {
    raise_panic("", nullptr);
  }
  return nullptr;
}

void report_unraisable_current_exception(PyObject* context) {
  translate_current_exception();
  PyErr_WriteUnraisable(context);
}

void throw_wrong_instance(PyObject* self, const char* class_name) {
  throw_cannot_convert(self, class_name);
}

}  // namespace vesk
