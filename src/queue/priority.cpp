// PyPriorityTaskQueue: a priority queue of task identifiers with a capacity
// counted in distinct identifiers and a blocking get.
//
// Two mutexes guard the state: the heap lock (entries) and the id lock (the
// set of distinct queued identifiers, whose size is the queue's size). When
// both are held the heap lock is taken first. The size is also published in
// an atomic, so qsize, empty and full never wait for a lock. A waiting get
// sleeps on a condition variable tied to the heap lock, which put and
// put_batch signal; it waits with the interpreter lock released and no other
// lock held, and comes back through a gate that lets one waiter at a time
// take the interpreter lock back. On the main thread (known since import) it
// wakes at least every 50 ms to run pending signal handlers, so Ctrl-C
// reaches it. Event loops wait differently: they register a descriptor in
// the queue's wake-up list, which put and put_batch write to once their
// entries are in.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "concurrent/acquire.hpp"
#include "concurrent/id_set.hpp"
#include "module/class_def.hpp"
#include "module/registry.hpp"
#include "module/signal_thread.hpp"
#include "queue/duration.hpp"
#include "queue/wakeup_list.hpp"
#include "types/task_heap.hpp"

namespace vesk {
namespace {

struct QueueCore {
  explicit QueueCore(std::uint64_t capacity) : ids(id_keys), maxsize(capacity) {}

  std::mutex heap_mutex;
  TaskHeap heap;
  std::condition_variable entry_added;  // signalled under no lock after a push
  std::size_t waiting_gets = 0;  // gets inside a wait on entry_added, under the heap lock

  // The id set's hash keys, kept apart so that ids can be hashed without the
  // id lock (the set's own copy is rewritten when its table grows).
  const HashKeys id_keys = next_hash_keys();
  std::mutex ids_mutex;
  IdSet ids;

  const std::uint64_t maxsize;  // 0: no limit
  std::atomic<std::uint64_t> size{0};  // ids.size(), published under the id lock

  WakeupList wakeups;  // descriptors of event loops waiting for an entry

  bool ids_at_capacity() const noexcept { return maxsize > 0 && ids.size() >= maxsize; }
  void publish_size() noexcept { size.store(ids.size(), std::memory_order_relaxed); }
};

struct QueueState {
  std::unique_ptr<QueueCore> core;
};

const RaisePython kQueueFull{&PyExc_Exception, "Queue is full"};
const RaisePython kQueueEmpty{&PyExc_Exception, "Queue is empty"};

// Pops the first entry with the heap lock held; removes its id from the set.
template <class Hook>
std::optional<std::string> take_locked(QueueCore& q, Hook&& hook) {
  std::optional<PrioritizedTask> entry = q.heap.pop();
  if (!entry) return std::nullopt;
  {
    auto ids_lock = acquire_exclusive(q.ids_mutex, hook);
    q.ids.erase(entry->task_id);
    q.publish_size();
  }
  return std::move(entry->task_id);
}

// Adds one entry with both locks held. The id goes in first: if the push then
// fails (out of memory), taking the id out again needs no allocation, and the
// queue is as it was.
void push_entry(QueueCore& q, std::int32_t priority, Text task_id, double submit_time,
                std::uint64_t id_hash) {
  const bool new_id = q.ids.insert(task_id, id_hash);
  try {
    q.heap.push(priority, task_id, submit_time);
  } catch (...) {
    if (new_id) q.ids.erase(task_id, id_hash);
    throw;
  }
}

// Signals the event loops waiting for an entry, if any, without the
// interpreter lock (the writes are system calls).
void wake_event_loops(QueueCore& q, Region& region) {
  if (!q.wakeups.armed()) return;
  region.release();
  q.wakeups.notify();
}

// ---- constructor and methods ---------------------------------------------------

QueueState construct(std::uint64_t maxsize) {
  return QueueState{std::make_unique<QueueCore>(maxsize)};
}

void put(QueueState& self, Region& region, std::int32_t priority, Text task_id,
         double submit_time, bool block, std::optional<double> /*_timeout: accepted, unused*/) {
  QueueCore& q = *self.core;
  {
    // The capacity test and the insertion are one critical section, so
    // concurrent non-blocking puts never take the queue past maxsize.
    auto heap_lock = acquire_exclusive(q.heap_mutex, region.lock_hook());
    auto ids_lock = acquire_exclusive(q.ids_mutex, region.lock_hook());
    if (!block && q.ids_at_capacity()) throw kQueueFull;
    push_entry(q, priority, task_id, submit_time, q.ids.hash(task_id));
    q.publish_size();
  }
  q.entry_added.notify_one();
  wake_event_loops(q, region);
}

// Runs the pending signal handlers; throws if one raised. GIL held.
void run_signal_handlers() {
  if (PyErr_CheckSignals() < 0) throw PythonError{};
}

using Clock = std::chrono::steady_clock;

// When a wait of `duration` from now ends: never without a duration or with
// one too long to matter.
std::optional<Clock::time_point> deadline_after(std::optional<WaitDuration> duration) {
  constexpr std::uint64_t kMaxWaitSeconds = 100ull * 365 * 24 * 3600;  // longer is "forever"
  if (!duration || duration->seconds >= kMaxWaitSeconds) return std::nullopt;
  return Clock::now() + std::chrono::seconds(duration->seconds) +
         std::chrono::nanoseconds(duration->nanoseconds);
}

// Waits on entry_added until an entry is there (true) or `until` has passed
// (false), counted in waiting_gets. Heap lock held.
bool wait_for_push(QueueCore& q, std::unique_lock<std::mutex>& heap_lock,
                   std::optional<Clock::time_point> until) {
  const auto has_entry = [&q] { return !q.heap.empty(); };
  ++q.waiting_gets;
  bool woken = true;
  if (until) {
    woken = q.entry_added.wait_until(heap_lock, *until, has_entry);
  } else {
    q.entry_added.wait(heap_lock, has_entry);
  }
  --q.waiting_gets;
  return woken;
}

// The main thread's wait: it leaves the heap lock and takes the interpreter
// lock before each look at the heap and at least every 50 ms to run pending
// signal handlers, so Ctrl-C reaches it. If one raises, get raises it and
// takes nothing; otherwise the wait goes on towards the same deadline.
std::optional<std::string> wait_on_signal_thread(QueueCore& q, Region& region,
                                                 std::unique_lock<std::mutex>& heap_lock,
                                                 std::optional<Clock::time_point> deadline) {
  constexpr auto kSignalCheckInterval = std::chrono::milliseconds(50);
  while (true) {
    heap_lock.unlock();
    region.with_interpreter_lock(run_signal_handlers);
    region.release();
    heap_lock.lock();
    const Clock::time_point now = Clock::now();
    if (q.heap.empty() && deadline && now >= *deadline) return std::nullopt;
    const Clock::time_point next_check = now + kSignalCheckInterval;
    if (wait_for_push(q, heap_lock, deadline ? std::min(*deadline, next_check) : next_check)) {
      return take_locked(q, NoWaitHook{});
    }
  }
}

// Waits with the heap lock held, as the condition variable wants it, for an
// entry (taken and returned) or the deadline (nothing). The interpreter lock
// is given up once, here.
std::optional<std::string> wait_for_entry(QueueCore& q, Region& region,
                                          std::unique_lock<std::mutex>& heap_lock,
                                          std::optional<Clock::time_point> deadline) {
  if (runs_signal_handlers()) return wait_on_signal_thread(q, region, heap_lock, deadline);
  region.release();
  if (!wait_for_push(q, heap_lock, deadline)) return std::nullopt;
  return take_locked(q, NoWaitHook{});
}

// Threads coming back from a wait take the interpreter lock back one at a
// time. A thread waiting for the interpreter lock wakes every switch interval
// to ask for it, so thousands of waits that time out together would spend
// the cores on those wake-ups and serve nobody (bench/bench_crowd.py);
// queued on this mutex they sleep until their turn. It is the one native lock
// held while the interpreter lock is taken back, and nobody takes it while
// holding the interpreter lock, so the two cannot deadlock.
std::mutex return_gate;

void return_to_interpreter(Region& region) {
  if (!region.released()) return;
  std::lock_guard gate(return_gate);
  region.reacquire();
}

std::string get(QueueState& self, Region& region, bool block, std::optional<double> timeout) {
  QueueCore& q = *self.core;
  std::optional<WaitDuration> duration;
  if (block && timeout) duration = duration_from_seconds(*timeout);
  const bool waits = block && !(duration && duration->is_zero());
  const std::optional<Clock::time_point> deadline = waits ? deadline_after(duration) : std::nullopt;
  auto heap_lock = acquire_exclusive(q.heap_mutex, region.lock_hook());
  if (auto id = take_locked(q, region.lock_hook())) return std::move(*id);
  if (!waits) throw kQueueEmpty;
  std::optional<std::string> id = wait_for_entry(q, region, heap_lock, deadline);
  heap_lock.unlock();
  return_to_interpreter(region);
  if (!id) throw kQueueEmpty;
  return std::move(*id);
}

bool remove(QueueState& self, Region& region, Text task_id) {
  QueueCore& q = *self.core;
  auto heap_lock = acquire_exclusive(q.heap_mutex, region.lock_hook());
  auto ids_lock = acquire_exclusive(q.ids_mutex, region.lock_hook());
  if (!q.ids.contains(task_id)) return false;
  q.heap.remove_all(task_id);  // throws, if at all, before it changes anything
  q.ids.erase(task_id);
  q.publish_size();
  return true;
}

std::uint64_t qsize(QueueState& self) { return self.core->size.load(std::memory_order_relaxed); }

bool empty(QueueState& self) { return qsize(self) == 0; }

bool full(QueueState& self) {
  const std::uint64_t maxsize = self.core->maxsize;
  return maxsize > 0 && qsize(self) >= maxsize;
}

void clear(QueueState& self, Region& region) {
  QueueCore& q = *self.core;
  auto heap_lock = acquire_exclusive(q.heap_mutex, region.lock_hook());
  auto ids_lock = acquire_exclusive(q.ids_mutex, region.lock_hook());
  q.heap.clear();
  q.ids.clear();  // waiting gets are not woken: they keep waiting for an entry
  q.publish_size();
}

std::uint64_t put_batch(QueueState& self, Region& region,
                        std::vector<std::tuple<std::int32_t, Text, double>> items) {
  QueueCore& q = *self.core;
  if (items.size() > kLongBatch) region.release();
  // The set's keys never change, so the ids are hashed before the locks are
  // taken.
  std::vector<std::uint64_t> hashes(items.size());
  const IdHasher hash_id_for_set{q.id_keys};
  for (std::size_t i = 0; i < items.size(); ++i) hashes[i] = hash_id_for_set(std::get<1>(items[i]));
  std::uint64_t added = 0;
  std::uint64_t to_wake = 0;
  std::exception_ptr failure;
  {
    auto heap_lock = acquire_exclusive(q.heap_mutex, region.lock_hook());
    auto ids_lock = acquire_exclusive(q.ids_mutex, region.lock_hook());
    q.heap.reserve_more(items.size());
    for (std::size_t i = 0; i < items.size() && !q.ids_at_capacity(); ++i) {
      const auto& [priority, task_id, submit_time] = items[i];
      try {
        push_entry(q, priority, task_id, submit_time, hashes[i]);
      } catch (...) {
        failure = std::current_exception();  // the entries before this one stay queued
        break;
      }
      ++added;
    }
    q.publish_size();
    to_wake = std::min<std::uint64_t>(added, q.waiting_gets);
  }
  // One waiter per entry: each takes one, and waking them all for a few
  // entries would send thousands of threads after them.
  for (std::uint64_t i = 0; i < to_wake; ++i) q.entry_added.notify_one();
  if (added > 0) wake_event_loops(q, region);
  if (failure) std::rethrow_exception(failure);
  return added;
}

std::vector<std::string> get_batch(QueueState& self, Region& region,
                                   std::optional<std::uint64_t> max_count) {
  QueueCore& q = *self.core;
  const std::uint64_t limit = max_count.value_or(UINT64_MAX);
  std::vector<std::string> taken;
  if (limit == 0) return taken;
  {
    auto heap_lock = acquire_exclusive(q.heap_mutex, region.lock_hook());
    if (q.heap.size() > kLongBatch && limit > kLongBatch) {
      // Long work: give the interpreter lock up before it, not while locked.
      heap_lock.unlock();
      region.release();
      heap_lock.lock();
    }
    auto ids_lock = acquire_exclusive(q.ids_mutex, region.lock_hook());
    q.heap.pop_ids(limit, taken);
    for (const std::string& id : taken) q.ids.erase(id);
    q.publish_size();
  }
  return taken;
}

// Module-level helpers of the asyncio view: a loop's descriptor is written
// to by the next put after it registered (see WakeupList).
void register_wakeup(QueueState& self, Region& region, std::int32_t fd) {
  if (fd < 0) throw RaisePython{&PyExc_ValueError, "fd must not be negative"};
  self.core->wakeups.add(fd, region.lock_hook());
}

void unregister_wakeup(QueueState& self, Region& region, std::int32_t fd) {
  self.core->wakeups.remove(fd, region.lock_hook());
}

// ---- registration ----------------------------------------------------------------

constexpr const char* kClass = "PyPriorityTaskQueue";
constexpr Params<1> kNewParams{kClass, "__new__", {Param{"maxsize"}}};
constexpr Params<5> kPutParams{kClass,
                               "put",
                               {Param{"priority"}, Param{"task_id"}, Param{"submit_time"},
                                Param{"block", Default::True}, Param{"_timeout", Default::None}}};
constexpr Params<2> kGetParams{
    kClass, "get", {Param{"block", Default::True}, Param{"timeout", Default::None}}};
constexpr Params<1> kRemoveParams{kClass, "remove", {Param{"task_id"}}};
constexpr Params<1> kPutBatchParams{kClass, "put_batch", {Param{"items"}}};
constexpr Params<1> kGetBatchParams{kClass, "get_batch", {Param{"max_count", Default::None}}};
constexpr Params<2> kRegisterWakeupParams{nullptr, "_register_wakeup", {Param{"queue"}, Param{"fd"}}};
constexpr Params<2> kUnregisterWakeupParams{nullptr, "_unregister_wakeup", {Param{"queue"}, Param{"fd"}}};

constexpr Params<0> kQsizeParams{kClass, "qsize", {}};
constexpr Params<0> kEmptyParams{kClass, "empty", {}};
constexpr Params<0> kFullParams{kClass, "full", {}};
constexpr Params<0> kClearParams{kClass, "clear", {}};
constexpr char kClassDoc[] = "优先级任务队列\n\n线程安全的优先级队列，支持阻塞操作。";
constexpr char kPutDoc[] =
    "向队列添加任务\n\nArgs:\n    priority: 任务优先级\n    task_id: 任务ID\n"
    "    submit_time: 提交时间\n    block: 是否阻塞等待队列有空间\n    timeout: 超时时间（秒），None 表示无限等待";
constexpr char kGetDoc[] =
    "从队列获取任务ID\n\nArgs:\n    block: 是否阻塞等待队列有任务\n    timeout: 超时时间（秒），None 表示无限等待\n\n"
    "Returns:\n    获取的任务ID";
constexpr char kRemoveDoc[] = "从队列移除指定任务\n\nArgs:\n    task_id: 要移除的任务ID\n\nReturns:\n    是否成功移除";
constexpr char kPutBatchDoc[] =
    "批量向队列添加任务\n\nArgs:\n    items: (priority, task_id, submit_time) 元组列表\n\n"
    "Returns:\n    成功添加的数量";
constexpr char kGetBatchDoc[] =
    "批量从队列获取任务ID\n\nArgs:\n    max_count: 最大获取数量，None 表示获取所有\n\nReturns:\n"
    "    获取的任务ID列表（按优先级排序）";
constexpr char kQsizeDoc[] = "获取队列大小";
constexpr char kEmptyDoc[] = "检查队列是否为空";
constexpr char kFullDoc[] = "检查队列是否已满";
constexpr char kClearDoc[] = "清空队列";
constexpr char kRegisterWakeupDoc[] = "登记唤醒描述符：下一次向队列添加任务时写入 fd（仅一次）";
constexpr char kUnregisterWakeupDoc[] = "撤销唤醒描述符的登记；返回后不再写入 fd";

}  // namespace

struct PriorityQueueClass : ClassBase<PriorityQueueClass, QueueState> {
  static constexpr const char* name = kClass;
  static constexpr const char* doc = class_doc<kNewParams, kClassDoc>();
  static constexpr newfunc new_function = &new_entry<PriorityQueueClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef PriorityQueueClass::methods[] = {
    method<PriorityQueueClass, &put, kPutParams, kPutDoc>(),
    method<PriorityQueueClass, &get, kGetParams, kGetDoc>(),
    method<PriorityQueueClass, &remove, kRemoveParams, kRemoveDoc>(),
    noargs_method<PriorityQueueClass, &qsize, kQsizeParams, kQsizeDoc>(),
    noargs_method<PriorityQueueClass, &empty, kEmptyParams, kEmptyDoc>(),
    noargs_method<PriorityQueueClass, &full, kFullParams, kFullDoc>(),
    noargs_method<PriorityQueueClass, &clear, kClearParams, kClearDoc>(),
    method<PriorityQueueClass, &put_batch, kPutBatchParams, kPutBatchDoc>(),
    method<PriorityQueueClass, &get_batch, kGetBatchParams, kGetBatchDoc>(),
    end_of_methods(),
};

PyTypeObject* priority_task_queue_type() { return PriorityQueueClass::type(); }

PyMethodDef queue_wakeup_functions[] = {
    function<PriorityQueueClass, &register_wakeup, kRegisterWakeupParams, kRegisterWakeupDoc>(),
    function<PriorityQueueClass, &unregister_wakeup, kUnregisterWakeupParams,
             kUnregisterWakeupDoc>(),
    end_of_methods(),
};

}  // namespace vesk
