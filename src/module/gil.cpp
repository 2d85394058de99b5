#include "module/gil.hpp"

#include <mutex>
#include <vector>

namespace vesk {
namespace gil_detail {

thread_local int call_depth = 0;
std::atomic<bool> deferred_pending{false};

namespace {
std::mutex deferred_mutex;
std::vector<PyObject*>& deferred_list() {
  static auto* list = new std::vector<PyObject*>();  // never destroyed: used until exit
  return *list;
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
  for (PyObject* obj : taken) Py_DECREF(obj);
}

}  // namespace gil_detail

void release_reference(PyObject* obj) noexcept {
  if (holds_interpreter_lock()) {
    Py_DECREF(obj);
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
