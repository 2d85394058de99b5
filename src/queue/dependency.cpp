// PyTaskDependencyManager: dependencies between tasks, readiness, cycles.
//
// The whole state is one DependencyGraph (both directions of every pair, the
// completed set, the id index) behind one mutex. Every method takes the mutex
// by trying it first and, only if it is busy, giving up the interpreter lock
// before it waits (the lock release region's hook), so the manager stays
// correct without relying on the interpreter lock and no thread ever waits
// for it while holding the interpreter lock. One lock means no lock order.
// Arguments are converted before the mutex is taken and results are built
// after it is released, so no Python code runs under it.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "concurrent/acquire.hpp"
#include "module/class_def.hpp"
#include "module/registry.hpp"
#include "queue/dependency_graph.hpp"

namespace vesk {
namespace {

struct DependencyCore {
  std::mutex mutex;
  DependencyGraph graph;
};

struct ManagerState {
  std::unique_ptr<DependencyCore> core;
};

// Calls f(graph) under the manager's mutex; see the header for the waiting.
template <class F>
decltype(auto) with_graph(ManagerState& self, Region& region, F&& f) {
  auto lock = acquire_exclusive(self.core->mutex, region.lock_hook());
  try {
    return f(self.core->graph);
  } catch (const GraphCapacityError& error) {
    throw Panic(error.what());
  }
}

// Items per hold of the mutex in a batch: long batches let other threads in
// between chunks.
constexpr std::size_t kChunk = 256;

// ---- constructor and methods ---------------------------------------------------

ManagerState construct() { return ManagerState{std::make_unique<DependencyCore>()}; }

void add_dependency(ManagerState& self, Region& region, Text task_id, Text dep_id) {
  with_graph(self, region, [&](DependencyGraph& graph) { graph.add(task_id, dep_id); });
}

bool is_ready(ManagerState& self, Region& region, Text task_id) {
  return with_graph(self, region, [&](DependencyGraph& graph) { return graph.ready(task_id); });
}

void mark_completed(ManagerState& self, Region& region, Text task_id) {
  with_graph(self, region, [&](DependencyGraph& graph) { graph.mark_completed(task_id); });
}

bool has_circular_dependency(ManagerState& self, Region& region) {
  return with_graph(self, region, [](DependencyGraph& graph) { return graph.has_cycle(); });
}

std::vector<std::string> find_cycle(ManagerState& self, Region& region) {
  return with_graph(self, region, [](DependencyGraph& graph) { return graph.find_cycle(); });
}

std::vector<std::string> get_dependencies(ManagerState& self, Region& region, Text task_id) {
  return with_graph(self, region,
                    [&](DependencyGraph& graph) { return graph.dependencies_of(task_id); });
}

std::vector<std::string> get_dependents(ManagerState& self, Region& region, Text task_id) {
  return with_graph(self, region,
                    [&](DependencyGraph& graph) { return graph.dependents_of(task_id); });
}

bool remove_dependency(ManagerState& self, Region& region, Text task_id, Text dep_id) {
  return with_graph(self, region,
                    [&](DependencyGraph& graph) { return graph.remove(task_id, dep_id); });
}

void add_dependencies_batch(ManagerState& self, Region& region,
                            std::vector<std::tuple<Text, Text>> deps) {
  // Every pair was converted before this body runs: a bad element records
  // nothing. A pair that fails for lack of memory leaves no trace; the pairs
  // before it stay.
  if (deps.size() > kLongBatch) region.release();
  const std::span<const std::tuple<Text, Text>> all(deps);
  for (std::size_t first = 0; first < all.size(); first += kChunk) {
    with_graph(self, region, [&](DependencyGraph& graph) {
      for (const auto& [task_id, dep_id] : all.subspan(first, std::min(kChunk, all.size() - first))) {
        graph.add(task_id, dep_id);
      }
    });
  }
}

std::vector<bool> get_ready_tasks(ManagerState& self, Region& region, std::vector<Text> task_ids) {
  std::vector<bool> answers(task_ids.size());
  if (task_ids.size() > kLongBatch) region.release();
  for (std::size_t first = 0; first < task_ids.size(); first += kChunk) {
    const auto chunk = std::span<const Text>(task_ids).subspan(first, std::min(kChunk, task_ids.size() - first));
    with_graph(self, region, [&](DependencyGraph& graph) { graph.ready_each(chunk, answers, first); });
  }
  return answers;
}

void clear(ManagerState& self, Region& region) {
  with_graph(self, region, [](DependencyGraph& graph) { graph.clear(); });
}

void reset_completed(ManagerState& self, Region& region) {
  with_graph(self, region, [](DependencyGraph& graph) { graph.reset_completed(); });
}

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

constexpr Params<0> kHasCircularDependencyParams{kClass, "has_circular_dependency", {}};
constexpr Params<0> kFindCycleParams{kClass, "find_cycle", {}};
constexpr Params<0> kClearParams{kClass, "clear", {}};
constexpr Params<0> kResetCompletedParams{kClass, "reset_completed", {}};
constexpr char kClassDoc[] = "任务依赖管理器\n\n管理任务之间的依赖关系，支持循环检测。";
constexpr char kAddDoc[] = "添加依赖关系\n\nArgs:\n    task_id: 任务ID\n    dep_id: 依赖的任务ID";
constexpr char kIsReadyDoc[] =
    "检查任务是否就绪（所有依赖都已完成）\n\nArgs:\n    task_id: 任务ID\n\nReturns:\n    是否就绪";
constexpr char kMarkDoc[] = "标记任务为已完成\n\nArgs:\n    task_id: 任务ID";
constexpr char kDependenciesDoc[] =
    "获取任务的依赖列表\n\nArgs:\n    task_id: 任务ID\n\nReturns:\n    依赖的任务ID列表";
constexpr char kDependentsDoc[] =
    "获取依赖于指定任务的任务列表\n\nArgs:\n    task_id: 任务ID\n\nReturns:\n    依赖于该任务的任务ID列表";
constexpr char kRemoveDoc[] = "移除任务的依赖关系\n\nArgs:\n    task_id: 任务ID\n    dep_id: 要移除的依赖任务ID";
constexpr char kBatchDoc[] = "批量添加依赖关系\n\nArgs:\n    deps: (task_id, dep_id) 元组列表";
constexpr char kReadyTasksDoc[] =
    "批量检查任务是否就绪\n\nArgs:\n    task_ids: 任务ID列表\n\nReturns:\n    对应的就绪状态列表";
constexpr char kHasCircularDependencyDoc[] = "检查是否存在循环依赖\n\nReturns:\n    是否存在循环依赖";
constexpr char kFindCycleDoc[] =
    "查找一个循环依赖\n\nReturns:\n    循环路径（每个任务依赖下一个，末尾回到起点），无循环时为空列表";
constexpr char kClearDoc[] = "清除所有依赖关系";
constexpr char kResetCompletedDoc[] = "重置已完成状态";

}  // namespace

struct DependencyManagerClass : ClassBase<DependencyManagerClass, ManagerState> {
  static constexpr const char* name = kClass;
  static constexpr const char* doc = class_doc<kNewParams, kClassDoc>();
  static constexpr newfunc new_function =
      &new_entry<DependencyManagerClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

using M = DependencyManagerClass;

PyMethodDef DependencyManagerClass::methods[] = {
    method<M, &add_dependency, kAddParams, kAddDoc>(),
    method<M, &is_ready, kIsReadyParams, kIsReadyDoc>(),
    method<M, &mark_completed, kMarkParams, kMarkDoc>(),
    noargs_method<M, &has_circular_dependency, kHasCircularDependencyParams, kHasCircularDependencyDoc>(),
    noargs_method<M, &find_cycle, kFindCycleParams, kFindCycleDoc>(),
    method<M, &get_dependencies, kDependenciesParams, kDependenciesDoc>(),
    method<M, &get_dependents, kDependentsParams, kDependentsDoc>(),
    method<M, &remove_dependency, kRemoveParams, kRemoveDoc>(),
    method<M, &add_dependencies_batch, kBatchParams, kBatchDoc>(),
    method<M, &get_ready_tasks, kReadyTasksParams, kReadyTasksDoc>(),
    noargs_method<M, &clear, kClearParams, kClearDoc>(),
    noargs_method<M, &reset_completed, kResetCompletedParams, kResetCompletedDoc>(),
    end_of_methods(),
};

PyTypeObject* task_dependency_manager_type() { return DependencyManagerClass::type(); }

}  // namespace vesk
