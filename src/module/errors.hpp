// Failures cross from native code into Python in exactly one place, the call
// frame (frame.hpp). Native code reports them by throwing one of these types.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

#include "module/gil.hpp"
#include "module/python.hpp"

namespace vesk {

// A Python exception is already set in the interpreter (an API call failed).
// Thrown only while the interpreter lock is held.
struct PythonError {};

// An internal failure: a violated invariant of the native code. The frame
// reports it on stderr and raises PanicException with its message.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// A Python exception decided by native code that may run without the
// interpreter lock (for example "Queue is empty"). `type` points at one of
// the interpreter's exception type variables; the frame raises it once it
// holds the interpreter lock again.
struct RaisePython {
  PyObject* const* type;
  const char* message;
};

// Throws PythonError; if the interpreter set no error, sets the SystemError
// the frame reports for a failed call without an error. GIL held.
[[noreturn]] void throw_python_error();

// Sets `type(message)` as the current exception and throws PythonError. GIL held.
[[noreturn]] void throw_python(PyObject* type, const std::string& message);

// "'{type}' object cannot be converted to '{target}'" as a TypeError. GIL held.
[[noreturn]] void throw_cannot_convert(PyObject* obj, const char* target);

// The current exception, taken out of the interpreter and normalized.
// GIL held, an exception set.
struct FetchedError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};
FetchedError fetch_normalized_error();

// The qualified name of obj's type ("int", "NoneType"). GIL held.
std::string qualified_type_name(PyObject* obj);

}  // namespace vesk
