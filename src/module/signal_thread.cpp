#include "module/signal_thread.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <atomic>
#include <cerrno>

#include "module/errors.hpp"

namespace vesk {
namespace {

std::atomic<unsigned long> signal_thread{0};

#if !defined(_WIN32)  // (Windows has no fork)
// Runs in the child, on the thread that called fork.
void record_forking_thread() { signal_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); }
#endif

unsigned long main_thread_ident() {
  PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
  if (!threading) throw_python_error();
  PyRef main = PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) throw_python_error();
  PyRef ident = PyRef::steal(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) throw_python_error();
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred() != nullptr) throw_python_error();
  return value;
}

}  // namespace

void record_signal_thread() {
  signal_thread.store(main_thread_ident(), std::memory_order_relaxed);
#if !defined(_WIN32)
  if (const int error = pthread_atfork(nullptr, nullptr, &record_forking_thread); error != 0) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw PythonError{};
  }
#endif
}

bool runs_signal_handlers() noexcept {
  return PyThread_get_thread_ident() == signal_thread.load(std::memory_order_relaxed);
}

}  // namespace vesk
