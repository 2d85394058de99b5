// Interpreter-lock bookkeeping shared by every call into the module.
//
// Each thread counts the frames of this module that hold the interpreter
// lock on it (the call depth). Code that must drop a Python reference asks
// `holds_interpreter_lock()`: with depth 0 the reference goes into the
// process-wide deferred-release list, which the next frame that holds the
// interpreter lock drains. A lock release region (Region) sets the depth to 0
// for the whole body, even while it still holds the interpreter lock, so no
// Python code (a finalizer run by a release) can ever run inside a body.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

#include "module/python.hpp"

namespace vesk {

// A batch body of up to this many items keeps the interpreter lock while its
// native locks are free (releasing it costs more than the work); a longer
// batch gives it up before it starts, so other Python threads run meanwhile.
inline constexpr std::size_t kLongBatch = 64;

namespace gil_detail {
extern thread_local int call_depth;
extern std::atomic<bool> deferred_pending;
void drain_deferred_releases();
}  // namespace gil_detail

// True when this thread is inside a frame that holds the interpreter lock and
// not inside a lock release region.
inline bool holds_interpreter_lock() noexcept { return gil_detail::call_depth > 0; }

// Releases `obj` now if the interpreter lock is held, else queues it in the
// deferred-release list. Never runs Python code while a region body runs.
void release_reference(PyObject* obj) noexcept;

// Releases every queued reference. Interpreter lock held, no native lock held.
inline void drain_deferred_releases() noexcept {
  if (gil_detail::deferred_pending.load(std::memory_order_acquire)) {
    gil_detail::drain_deferred_releases();
  }
}

// Marks a frame on this thread: depth +1 on entry, -1 on exit. Entering
// drains the deferred-release list first.
class FrameScope {
 public:
  FrameScope() noexcept {
    ++gil_detail::call_depth;
    drain_deferred_releases();
  }
  ~FrameScope() { --gil_detail::call_depth; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
};

// An owned strong reference. Its release goes through release_reference, so
// it may be dropped with or without the interpreter lock.
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
// native lock: the region's end re-acquires it after the body returned.
class Region {
 public:
  Region() noexcept : saved_depth_(std::exchange(gil_detail::call_depth, 0)) {}
  ~Region() {
    if (thread_state_ != nullptr) PyEval_RestoreThread(thread_state_);
    gil_detail::call_depth = saved_depth_;
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  // Gives up the interpreter lock for the rest of the body (idempotent).
  void release() noexcept {
    if (thread_state_ == nullptr) thread_state_ = PyEval_SaveThread();
  }
  bool released() const noexcept { return thread_state_ != nullptr; }

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
        if (r.thread_state_ != nullptr) PyEval_RestoreThread(r.thread_state_);
        gil_detail::call_depth = 1;
      }
      ~Reacquire() {
        gil_detail::call_depth = 0;
        if (r.thread_state_ != nullptr) r.thread_state_ = PyEval_SaveThread();
      }
    } scope(*this);
    return std::forward<F>(f)();
  }

 private:
  PyThreadState* thread_state_ = nullptr;
  int saved_depth_;
};

}  // namespace vesk
