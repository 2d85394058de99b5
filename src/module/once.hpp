// Python objects made once and kept for the process. Without an interpreter
// lock to serialize it, the first use may happen in several threads at once.
#pragma once

#include <atomic>
#include <utility>

#include "module/errors.hpp"
#include "module/gil.hpp"

namespace vesk {

// Returns the object kept in `slot` (borrowed: it lives as long as the
// process), storing the one `make()` returns (a PyRef, empty with a Python
// error set on failure) when there is none yet. Threads racing to the first
// use may each make one: the first stored is kept, the others are dropped.
// Throws PythonError. GIL held.
template <class Make>
PyObject* made_once(std::atomic<PyObject*>& slot, Make&& make) {
  if (PyObject* known = slot.load(std::memory_order_acquire)) return known;
  PyRef made = std::forward<Make>(make)();
  if (!made) throw_python_error();
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  return expected;  // `made` is dropped (set aside, see gil.hpp)
}

}  // namespace vesk
