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

constinit thread_local bool set_aside_pending = false;

namespace {
std::mutex deferred_mutex;
std::vector<PyObject*>& deferred_list() {
  static auto* list = new std::vector<PyObject*>();  // never destroyed: used until exit
  return *list;
}

// This thread's last references, dropped while a frame held the interpreter
// lock. Its capacity is kept, so a thread that has released before rarely
// allocates here.
std::vector<PyObject*>& set_aside_list() {
  thread_local std::vector<PyObject*> list;
  return list;
}

constinit thread_local bool releasing __attribute__((tls_model("initial-exec"))) = false;

// Moves the deferred references into this thread's list. Returns false when
// there were none.
bool take_deferred(std::vector<PyObject*>& into) {
  if (!deferred_pending.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(deferred_mutex);
  std::vector<PyObject*>& deferred = deferred_list();
  if (into.empty()) {
    into.swap(deferred);
  } else {
    try {
      into.insert(into.end(), deferred.begin(), deferred.end());
    } catch (const std::bad_alloc&) {
      return false;  // stays deferred for a later call
    }
    deferred.clear();
  }
  deferred_pending.store(false, std::memory_order_release);
  return true;
}
}  // namespace

void set_aside(PyObject* obj) noexcept {
  try {
    if (call_depth > 0) {
      set_aside_list().push_back(obj);
      set_aside_pending = true;
      return;
    }
    std::lock_guard lock(deferred_mutex);
    deferred_list().push_back(obj);
    deferred_pending.store(true, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // Out of memory: leaking one reference is safer than running Python here.
  }
}

void release_set_aside() {
  if (releasing) return;  // the outer loop on this thread releases them
  releasing = true;
  std::vector<PyObject*>& list = set_aside_list();
  // A finalizer must not see the caller's pending error, nor clear it.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  do {
    set_aside_pending = false;
    while (!list.empty()) {
      PyObject* obj = list.back();
      list.pop_back();
      Py_DECREF(obj);  // may set more aside, here or in a nested frame
    }
  } while (set_aside_pending || take_deferred(list));
  PyErr_Restore(type, value, traceback);
  releasing = false;
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

}  // namespace vesk
