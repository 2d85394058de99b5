#include "module/gil.hpp"

#include <mutex>
#include <vector>

namespace vesk {
namespace gil_detail {

constinit thread_local int call_depth = 0;
constinit thread_local bool thread_exiting = false;
std::atomic<bool> deferred_pending{false};

namespace {
std::mutex deferred_mutex;
std::vector<PyObject*>& deferred_list() {
  static auto* list = new std::vector<PyObject*>();  // never destroyed: used until exit
  return *list;
}

// Releases nested inside a release on this thread (a store freed by a record
// of another store, and so on) wait here and are released one after another
// by the outermost release, so a long chain of such objects does not recurse
// once per link and overflow the stack.
constinit thread_local bool releasing = false;
std::vector<PyObject*>& nested_releases() {
  thread_local std::vector<PyObject*> pending;
  return pending;
}

void release_iteratively(PyObject* obj) {
  if (releasing) {
    try {
      nested_releases().push_back(obj);
      return;
    } catch (const std::bad_alloc&) {
      // Out of memory: release it right here, nested.
    }
    Py_DECREF(obj);
    return;
  }
  releasing = true;
  Py_DECREF(obj);
  std::vector<PyObject*>& pending = nested_releases();
  while (!pending.empty()) {
    PyObject* next = pending.back();
    pending.pop_back();
    Py_DECREF(next);
  }
  releasing = false;
}
}  // namespace

void drain_deferred_releases() {
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(deferred_mutex);
    taken.swap(deferred_list());
    deferred_pending.store(false, std::memory_order_release);
  }
  // Released after the mutex: a finalizer may queue further references.
  for (PyObject* obj : taken) release_iteratively(obj);
}

}  // namespace gil_detail

void release_reference(PyObject* obj) noexcept {
  if (holds_interpreter_lock()) {
    gil_detail::release_iteratively(obj);
    return;
  }
  try {
    std::lock_guard lock(gil_detail::deferred_mutex);
    gil_detail::deferred_list().push_back(obj);
    gil_detail::deferred_pending.store(true, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // Leaking one reference is the only safe choice without the interpreter lock.
  }
}

}  // namespace vesk
