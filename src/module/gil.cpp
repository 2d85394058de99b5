#include "module/gil.hpp"

#include <mutex>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <pthread.h>
#endif

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
constinit thread_local bool releasing __attribute__((tls_model("initial-exec"))) = false;
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

#if defined(_WIN32)
// The interpreter ends a thread there with _endthreadex, which unwinds
// nothing, so no handler sees it: end the thread the same way.
void end_thread_from_handler() { _endthreadex(0); }
#elif !defined(__GLIBCXX__)
// The handler has caught the interpreter's forced unwind as a foreign
// exception. Forget it (the C++ ABI's per-thread record starts with the list
// of caught exceptions; leaving the handler would otherwise delete it, which
// glibc answers with an abort), then end the thread with a new forced unwind.
// (macOS's pthread_exit unwinds nothing: there no handler gets here.)
extern "C" void* __cxa_get_globals() noexcept;  // C++ ABI; libc++abi's header omits it

void end_thread_from_handler() {
  *static_cast<void**>(__cxa_get_globals()) = nullptr;
  pthread_exit(nullptr);
}
#endif

}  // namespace gil_detail

void gil_detail::release_last_or_deferred(PyObject* obj) noexcept {
  if (holds_interpreter_lock()) {
    release_iteratively(obj);
    return;
  }
  try {
    std::lock_guard lock(deferred_mutex);
    deferred_list().push_back(obj);
    deferred_pending.store(true, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // Leaking one reference is the only safe choice without the interpreter lock.
  }
}

}  // namespace vesk
