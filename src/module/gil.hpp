// Interpreter-lock bookkeeping shared by every call into the module.
//
// Each thread counts the frames of this module that hold the interpreter
// lock on it (the call depth). A lock release region (Region) sets the depth
// to 0 for its body, even while it still holds the interpreter lock.
//
// Releasing references. Dropping the last reference to an object runs Python
// code (a finalizer, a weakref callback), and such code may switch threads.
// So a last reference is never released where it is dropped, which is often
// a destructor: it is set aside, in this thread's list while a frame holds
// the interpreter lock, else in the process-wide deferred list. Every frame
// entry releases both lists in one plain loop before it returns to Python
// (release_set_aside()), outside any destructor and noexcept frame.
//
// Interpreter exit. While the interpreter finalizes, a daemon thread that
// takes the interpreter lock back does not return from
// PyEval_RestoreThread: the interpreter ends it with pthread_exit, a forced
// unwind. A finalizer that runs long enough to let another thread in ends
// the same way. Every path that takes the lock back goes through
// take_interpreter_lock_back(), which marks the thread as exiting until the
// call returns; the frames the unwind passes are not noexcept and rethrow it,
// and destructors seen on the way out leave the interpreter alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

#include "module/python.hpp"

namespace vesk {

// A batch body of up to this many items keeps the interpreter lock while its
// native locks are free (releasing it costs more than the work); a longer
// batch gives it up before it starts, so other Python threads run meanwhile.
inline constexpr std::size_t kLongBatch = 64;

namespace gil_detail {
// Initial-exec and constant-initialized: a plain load from the thread pointer,
// with no call to __tls_get_addr or to an initialization guard.
extern constinit thread_local int call_depth __attribute__((tls_model("initial-exec")));
extern constinit thread_local bool thread_exiting __attribute__((tls_model("initial-exec")));
extern std::atomic<bool> deferred_pending;
}  // namespace gil_detail

// True when this thread is inside a frame that holds the interpreter lock and
// not inside a lock release region.
inline bool holds_interpreter_lock() noexcept { return gil_detail::call_depth > 0; }

// True while this thread is being ended by a forced unwind at interpreter
// exit: it does not hold the interpreter lock and never will again.
inline bool thread_is_exiting() noexcept { return gil_detail::thread_exiting; }

namespace gil_detail {
[[noreturn]] void end_thread_from_handler();
}

// Inside a catch (...): lets the forced unwind that ends this thread at
// interpreter exit go on (the exiting mark tells it: libc++abi, the runtime
// linked into the distributed wheel, has no type to catch it by). libstdc++
// rethrows it; libc++abi's rethrow would start a new, ordinary throw that
// nothing catches, so there the thread is ended afresh instead.
// A forced unwind may also start in Python code that a method runs (the
// interpreter drops and retakes its lock there too): both runtimes give such
// a foreign exception no exception_ptr, which tells it from a C++ exception.
inline void rethrow_if_thread_exit() {
  if (!thread_is_exiting()) {
    if (std::current_exception()) return;
    gil_detail::thread_exiting = true;
  }
#if defined(__GLIBCXX__)
  throw;
#else
  gil_detail::end_thread_from_handler();
#endif
}

// Takes the interpreter lock back. At interpreter exit this may end the
// thread by a forced unwind instead of returning (see above).
inline void take_interpreter_lock_back(PyThreadState* state) {
  gil_detail::thread_exiting = true;
  PyEval_RestoreThread(state);
  gil_detail::thread_exiting = false;
}

namespace gil_detail {
void set_aside(PyObject* obj) noexcept;
extern constinit thread_local bool set_aside_pending __attribute__((tls_model("initial-exec")));
void release_set_aside();
}  // namespace gil_detail

// Drops a reference without running Python code: a reference that is not the
// last one only counts down (no finalizer can run) when the interpreter lock
// is held; a last one is set aside for release_set_aside(). Under abi3t every
// one is set aside: without the lock, the count read may be stale before the
// decrement.
inline void release_reference(PyObject* obj) noexcept {
#if !defined(Py_TARGET_ABI3T)
  if (holds_interpreter_lock() && Py_REFCNT(obj) > 1) {
    Py_DECREF(obj);
    return;
  }
#endif
  gil_detail::set_aside(obj);
}

// Releases every reference set aside, this thread's and the deferred ones, in
// one loop (a nested call leaves them to the outer loop, so a long chain of
// objects freeing each other does not recurse). Interpreter lock held, no
// native lock held, a Python error kept as it was. Not noexcept: a finalizer
// it runs may take part in a forced unwind.
inline void release_set_aside() {
  if (gil_detail::set_aside_pending || gil_detail::deferred_pending.load(std::memory_order_acquire)) {
    gil_detail::release_set_aside();
  }
}

// Marks a frame on this thread: depth +1 on entry, -1 on exit. An entry ends
// with finish(), which releases what the call set aside.
class FrameScope {
 public:
  FrameScope() { ++gil_detail::call_depth; }
  ~FrameScope() { --gil_detail::call_depth; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

  template <class Result>
  Result finish(Result result) {
    release_set_aside();
    return result;
  }
};

// An owned strong reference. Its release goes through release_reference, so
// it may be dropped with or without the interpreter lock, in a destructor too.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  static PyRef borrow(PyObject* obj) noexcept {  // GIL held
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller (for returning it to Python).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // A new strong reference to the same object. GIL held.
  PyRef clone() const noexcept { return borrow(obj_); }
  void reset() noexcept {
    if (obj_ != nullptr) release_reference(std::exchange(obj_, nullptr));
  }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// The lock release region of one call. The body starts with the interpreter
// lock still held and call depth 0; it gives the lock up with release(),
// either for long work or, through lock_hook(), right before it would wait for
// a native lock. It never takes the interpreter lock back while it holds a
// native lock: run_in_region() takes it back after the body returned or threw.
class Region {
 public:
  Region() noexcept : saved_depth_(std::exchange(gil_detail::call_depth, 0)) {}
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  // Gives up the interpreter lock until the body ends or reacquires it
  // (idempotent).
  void release() noexcept {
    if (thread_state_ == nullptr) thread_state_ = PyEval_SaveThread();
  }
  bool released() const noexcept { return thread_state_ != nullptr; }
  // Takes the interpreter lock back for the rest of the body (or until the
  // next release); the call depth stays 0. The caller holds no native lock.
  void reacquire() {
    if (thread_state_ != nullptr) take_interpreter_lock_back(std::exchange(thread_state_, nullptr));
  }
  bool ended() const noexcept { return ended_; }

  // Takes the interpreter lock back if the body gave it up and restores the
  // call depth. May end the thread at interpreter exit.
  void end() {
    ended_ = true;
    reacquire();
    gil_detail::call_depth = saved_depth_;
  }

  // A hook for native locks: called right before a blocking acquisition.
  struct LockHook {
    Region* region;
    void before_blocking() const noexcept { region->release(); }
  };
  LockHook lock_hook() noexcept { return LockHook{this}; }

  // Runs f with the interpreter lock held and call depth 1, then returns to
  // the region's previous state. The caller must hold no native lock.
  template <class F>
  decltype(auto) with_interpreter_lock(F&& f) {
    struct Reacquire {
      Region& r;
      explicit Reacquire(Region& region) : r(region) {
        if (r.thread_state_ != nullptr) take_interpreter_lock_back(r.thread_state_);
        gil_detail::call_depth = 1;
      }
      ~Reacquire() {
        if (thread_is_exiting()) return;  // a nested take-back is ending the thread
        gil_detail::call_depth = 0;
        if (r.thread_state_ != nullptr) r.thread_state_ = PyEval_SaveThread();
      }
    } scope(*this);
    try {
      return std::forward<F>(f)();
    } catch (...) {
      rethrow_if_thread_exit();  // so that ~Reacquire leaves the interpreter alone
      throw;
    }
  }

 private:
  PyThreadState* thread_state_ = nullptr;
  int saved_depth_;
  bool ended_ = false;
};

// Runs body(region) in a lock release region and ends the region on every way
// out: after the body returned, after it threw (the exception goes on once the
// interpreter lock is held again), or not at all when a forced unwind is
// ending the thread at interpreter exit (it passes unchanged). After a body
// that returned, releases what it set aside before any result object is
// built; after one that threw, the frame's finish() does.
template <class Body>
auto run_in_region(Body&& body) {
  Region region;
  try {
    if constexpr (std::is_void_v<decltype(body(region))>) {
      body(region);
      region.end();
      release_set_aside();
    } else {
      auto result = body(region);
      region.end();
      release_set_aside();
      return result;
    }
  } catch (...) {
    rethrow_if_thread_exit();
    if (!region.ended()) region.end();
    throw;
  }
}

}  // namespace vesk
