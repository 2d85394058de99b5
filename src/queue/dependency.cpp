// PyTaskDependencyManager: dependencies between tasks, readiness, cycles.
//
// Three containers: `dependencies` (task -> the ids it depends on),
// `dependents` (id -> the tasks that depend on it) and `completed`, one IdSet
// behind a reader-writer lock. The two maps mirror each other: B is in
// dependencies[A] exactly when A is in dependents[B], and no entry of either
// map holds an empty set.
//
// Every method holds the interpreter lock from start to end, so calls on a
// manager never interleave; the native locks are still taken as documented.
// Lock order: a shard of `dependencies` before a shard of `dependents` or the
// lock of `completed`, never the other way round. Python objects are built
// only after every native lock is released.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "concurrent/id_set.hpp"
#include "concurrent/sharded_map.hpp"
#include "module/class_def.hpp"
#include "module/registry.hpp"
#include "queue/dependency_graph.hpp"

namespace vesk {
namespace {

using IdMap = ShardedMap<IdSet>;

// Members are created in declaration order, so the three draw their hash keys
// in the order dependencies, dependents, completed.
struct DependencyCore {
  IdMap dependencies;
  IdMap dependents;
  mutable std::shared_mutex completed_mutex;
  IdSet completed;
};

struct ManagerState {
  std::unique_ptr<DependencyCore> core;
};

// Removes the entry of `key` if its set is empty, testing under the same
// lock hold as the removal.
void remove_if_empty(IdMap& map, Text key) {
  map.remove_if(key, [](const IdSet& ids) { return ids.empty(); });
}

// Adds `member` to the set of `key`, creating the entry if needed. Returns
// whether `member` is new. A failed insertion leaves no empty entry behind.
bool add_member(IdMap& map, Text key, Text member) {
  IdMap::WriteGuard set = map.entry_or_default(key);
  try {
    return set->insert(member);
  } catch (...) {
    set.release();
    remove_if_empty(map, key);
    throw;
  }
}

// Removes `member` from the set of `key`; removes the entry once its set is
// empty (after the guard on its shard is gone). Returns whether it was there.
bool remove_member(IdMap& map, Text key, Text member) {
  IdMap::WriteGuard set = map.get_mut(key);
  if (!set) return false;
  const bool removed = set->erase(member);
  const bool emptied = set->empty();
  set.release();
  if (emptied) remove_if_empty(map, key);
  return removed;
}

// Both halves of one pair, one lock at a time. If the second half fails, the
// first is undone, so the maps never disagree.
void record_dependency(DependencyCore& m, Text task_id, Text dep_id) {
  const bool added = add_member(m.dependencies, task_id, dep_id);
  try {
    add_member(m.dependents, dep_id, task_id);
  } catch (...) {
    if (added) remove_member(m.dependencies, task_id, dep_id);
    throw;
  }
}

// Whether every id in `deps` is completed. The caller holds the lock of
// `completed`.
bool all_completed(const DependencyCore& m, const IdSet& deps) {
  // IdSet has no early exit: after the first miss the rest are skipped
  // without being hashed.
  bool all_done = true;
  deps.for_each([&](const std::string& dep) {
    if (all_done && !m.completed.contains(dep)) all_done = false;
  });
  return all_done;
}

bool ready(const DependencyCore& m, Text task_id) {
  IdMap::ReadGuard deps = m.dependencies.get(task_id);
  if (!deps) return true;
  std::shared_lock completed_lock(m.completed_mutex);
  return all_completed(m, *deps);
}

std::vector<std::string> members(const IdMap& map, Text key) {
  std::vector<std::string> ids;
  if (IdMap::ReadGuard set = map.get(key)) {
    ids.reserve(set->size());
    set->for_each([&](const std::string& id) { ids.push_back(id); });
  }
  return ids;
}

void clear_completed(DependencyCore& m) {
  std::unique_lock completed_lock(m.completed_mutex);
  m.completed.clear();
}

// ---- constructor and methods ---------------------------------------------------

ManagerState construct() { return ManagerState{std::make_unique<DependencyCore>()}; }

void add_dependency(ManagerState& self, Text task_id, Text dep_id) {
  record_dependency(*self.core, task_id, dep_id);
}

bool is_ready(ManagerState& self, Text task_id) { return ready(*self.core, task_id); }

void mark_completed(ManagerState& self, Text task_id) {
  DependencyCore& m = *self.core;
  std::unique_lock completed_lock(m.completed_mutex);
  m.completed.insert(task_id);
}

bool has_circular_dependency(ManagerState& self) {
  try {
    return has_cycle(self.core->dependencies);
  } catch (const std::logic_error& error) {  // 32-bit numbers exhausted, or a broken invariant
    throw Panic(error.what());
  }
}

std::vector<std::string> get_dependencies(ManagerState& self, Text task_id) {
  return members(self.core->dependencies, task_id);
}

std::vector<std::string> get_dependents(ManagerState& self, Text task_id) {
  return members(self.core->dependents, task_id);
}

bool remove_dependency(ManagerState& self, Text task_id, Text dep_id) {
  DependencyCore& m = *self.core;
  IdMap::WriteGuard deps = m.dependencies.get_mut(task_id);
  if (!deps) return false;
  const bool removed = deps->erase(dep_id);
  const bool emptied = deps->empty();
  // Still holding the `dependencies` shard: `dependents` is another map.
  remove_member(m.dependents, dep_id, task_id);
  deps.release();
  if (emptied) remove_if_empty(m.dependencies, task_id);
  return removed;
}

void add_dependencies_batch(ManagerState& self, std::vector<std::tuple<Text, Text>> deps) {
  // Every pair was converted before this body runs: a bad element records nothing.
  for (const auto& [task_id, dep_id] : deps) record_dependency(*self.core, task_id, dep_id);
}

// One chunk of get_ready_tasks: its ids (a slice of the call's list), their
// hashes, and where its answers go.
struct ReadyChunk {
  std::span<const Text> task_ids;
  std::vector<std::optional<IdMap::KeyHash>> hashes;
  std::vector<bool>::iterator answers;
};

// Answers the tasks of `chunk` whose ids fall in one shard of `dependencies`
// (`tasks`: their places in the chunk). One hold of the shard's lock and one
// of `completed` (in the documented order) serve them all, and the loads run
// ahead: the map slot of the task 2 * kAhead places on and the dependency
// set of the one kAhead on.
void answer_shard(const DependencyCore& m, std::size_t shard, std::span<const std::uint32_t> tasks,
                  ReadyChunk& chunk) {
  constexpr std::size_t kAhead = 8;
  constexpr std::size_t kRing = 16;  // a power of two above kAhead
  m.dependencies.read_shard(shard, [&](const IdMap::ShardReader& reader) {
    std::shared_lock completed_lock(m.completed_mutex);
    const IdSet* sets[kRing] = {};
    auto load_slot = [&](std::size_t k) { reader.prefetch(*chunk.hashes[tasks[k]]); };
    auto load_set = [&](std::size_t k) {
      const std::uint32_t task = tasks[k];
      const IdSet* deps = reader.find(chunk.task_ids[task], *chunk.hashes[task]);
      if (deps != nullptr) deps->prefetch();
      sets[k % kRing] = deps;
    };
    const std::size_t count = tasks.size();
    for (std::size_t k = 0; k < count && k < 2 * kAhead; ++k) load_slot(k);
    for (std::size_t k = 0; k < count && k < kAhead; ++k) load_set(k);
    for (std::size_t k = 0; k < count; ++k) {
      if (k + 2 * kAhead < count) load_slot(k + 2 * kAhead);
      if (k + kAhead < count) load_set(k + kAhead);
      const IdSet* deps = sets[k % kRing];
      chunk.answers[tasks[k]] = deps == nullptr || all_completed(m, *deps);
    }
  });
}

std::vector<bool> get_ready_tasks(ManagerState& self, std::vector<Text> task_ids) {
  // Memory, not work, bounds this, and a lock operation per task would fence
  // the loads of one task off from those of the next. So the tasks go in
  // chunks: each id of a chunk is hashed once, the chunk is sorted by shard
  // (a counting sort, which keeps the order within a shard), and each
  // shard's tasks are answered under one hold of its lock (answer_shard).
  // No lock is held from one shard's tasks to the next.
  const DependencyCore& m = *self.core;
  const std::size_t count = task_ids.size();
  const std::size_t shards = m.dependencies.shard_count();
  const std::size_t chunk_size = std::min(count, std::max<std::size_t>(1024, 64 * shards));
  std::vector<bool> answers(count, true);
  ReadyChunk chunk{{}, std::vector<std::optional<IdMap::KeyHash>>(chunk_size), answers.begin()};
  std::vector<std::uint32_t> shard_of(chunk_size);
  std::vector<std::uint32_t> by_shard(chunk_size);
  std::vector<std::size_t> starts(shards + 1);
  std::vector<std::size_t> next(shards);
  for (std::size_t first = 0; first < count; first += chunk_size) {
    const std::size_t n = std::min(chunk_size, count - first);
    chunk.task_ids = std::span<const Text>(task_ids).subspan(first, n);
    chunk.answers = answers.begin() + static_cast<std::ptrdiff_t>(first);
    std::fill(starts.begin(), starts.end(), 0);
    for (std::size_t j = 0; j < n; ++j) {
      chunk.hashes[j] = m.dependencies.hash(chunk.task_ids[j]);
      shard_of[j] = static_cast<std::uint32_t>(m.dependencies.shard_of(*chunk.hashes[j]));
      ++starts[shard_of[j] + 1];
    }
    for (std::size_t s = 0; s < shards; ++s) starts[s + 1] += starts[s];
    std::copy(starts.begin(), starts.end() - 1, next.begin());
    for (std::size_t j = 0; j < n; ++j) by_shard[next[shard_of[j]]++] = static_cast<std::uint32_t>(j);
    for (std::size_t s = 0; s < shards; ++s) {
      if (starts[s] == starts[s + 1]) continue;
      const std::span<const std::uint32_t> tasks(by_shard.data() + starts[s], starts[s + 1] - starts[s]);
      answer_shard(m, s, tasks, chunk);
    }
  }
  return answers;
}

void clear(ManagerState& self) {
  DependencyCore& m = *self.core;
  m.dependencies.clear();
  m.dependents.clear();
  clear_completed(m);
}

void reset_completed(ManagerState& self) { clear_completed(*self.core); }

// ---- registration ----------------------------------------------------------------

constexpr const char* kClass = "PyTaskDependencyManager";
constexpr Params<0> kNewParams{kClass, "__new__", {}};
constexpr Params<2> kAddParams{kClass, "add_dependency", {Param{"task_id"}, Param{"dep_id"}}};
constexpr Params<1> kIsReadyParams{kClass, "is_ready", {Param{"task_id"}}};
constexpr Params<1> kMarkParams{kClass, "mark_completed", {Param{"task_id"}}};
constexpr Params<1> kDependenciesParams{kClass, "get_dependencies", {Param{"task_id"}}};
constexpr Params<1> kDependentsParams{kClass, "get_dependents", {Param{"task_id"}}};
constexpr Params<2> kRemoveParams{
    kClass, "remove_dependency", {Param{"task_id"}, Param{"dep_id"}}};
constexpr Params<1> kBatchParams{kClass, "add_dependencies_batch", {Param{"deps"}}};
constexpr Params<1> kReadyTasksParams{kClass, "get_ready_tasks", {Param{"task_ids"}}};

}  // namespace

struct DependencyManagerClass : ClassBase<DependencyManagerClass, ManagerState> {
  static constexpr const char* name = kClass;
  static constexpr const char* doc =
      "PyTaskDependencyManager()\n--\n\n任务依赖管理器\n\n管理任务之间的依赖关系，支持循环检测。";
  static constexpr newfunc new_function =
      &new_entry<DependencyManagerClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

using M = DependencyManagerClass;

PyMethodDef DependencyManagerClass::methods[] = {
    method<M, &add_dependency, kAddParams>(
        "add_dependency($self, task_id, dep_id)\n--\n\n添加依赖关系\n\nArgs:\n"
        "    task_id: 任务ID\n    dep_id: 依赖的任务ID"),
    method<M, &is_ready, kIsReadyParams>(
        "is_ready($self, task_id)\n--\n\n检查任务是否就绪（所有依赖都已完成）\n\nArgs:\n"
        "    task_id: 任务ID\n\nReturns:\n    是否就绪"),
    method<M, &mark_completed, kMarkParams>(
        "mark_completed($self, task_id)\n--\n\n标记任务为已完成\n\nArgs:\n    task_id: 任务ID"),
    noargs_method<M, &has_circular_dependency>(
        "has_circular_dependency",
        "has_circular_dependency($self)\n--\n\n检查是否存在循环依赖\n\nReturns:\n"
        "    是否存在循环依赖"),
    method<M, &get_dependencies, kDependenciesParams>(
        "get_dependencies($self, task_id)\n--\n\n获取任务的依赖列表\n\nArgs:\n"
        "    task_id: 任务ID\n\nReturns:\n    依赖的任务ID列表"),
    method<M, &get_dependents, kDependentsParams>(
        "get_dependents($self, task_id)\n--\n\n获取依赖于指定任务的任务列表\n\nArgs:\n"
        "    task_id: 任务ID\n\nReturns:\n    依赖于该任务的任务ID列表"),
    method<M, &remove_dependency, kRemoveParams>(
        "remove_dependency($self, task_id, dep_id)\n--\n\n移除任务的依赖关系\n\nArgs:\n"
        "    task_id: 任务ID\n    dep_id: 要移除的依赖任务ID"),
    method<M, &add_dependencies_batch, kBatchParams>(
        "add_dependencies_batch($self, deps)\n--\n\n批量添加依赖关系\n\nArgs:\n"
        "    deps: (task_id, dep_id) 元组列表"),
    method<M, &get_ready_tasks, kReadyTasksParams>(
        "get_ready_tasks($self, task_ids)\n--\n\n批量检查任务是否就绪\n\nArgs:\n"
        "    task_ids: 任务ID列表\n\nReturns:\n    对应的就绪状态列表"),
    noargs_method<M, &clear>("clear", "clear($self)\n--\n\n清除所有依赖关系"),
    noargs_method<M, &reset_completed>("reset_completed",
                                       "reset_completed($self)\n--\n\n重置已完成状态"),
    end_of_methods(),
};

PyTypeObject* task_dependency_manager_type() { return DependencyManagerClass::type(); }

}  // namespace vesk
