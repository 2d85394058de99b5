// PyShardedTaskStatus: task status records sharded by task identifier, with
// time-to-live expiry and a size bound (the native state is StatusStore).
//
// Every method that takes a native lock runs in a lock release region: every
// argument and dictionary is converted with the interpreter lock held, then
// the store is read or written, keeping the interpreter lock while the native
// locks are free and giving it up right before any wait (and before a long
// write batch).
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "module/class_def.hpp"
#include "module/registry.hpp"
#include "status/status_store.hpp"

namespace vesk {
namespace {

struct StoreState {
  std::unique_ptr<StatusStore> store;
};

using FastItem = std::tuple<Text, Text, std::optional<double>, std::optional<double>,
                            std::optional<double>, std::optional<Text>>;
using DictItem = std::tuple<Text, PyRef>;

// Counts from here up are refused as an internal failure ("capacity
// overflow", the limit of an array of 8-byte handles, 2**63 - 8 bytes);
// smaller counts that cannot be allocated raise MemoryError.
constexpr std::uint64_t kMaxShardCount = (std::uint64_t{1} << 60) - 1;

StoreState construct(std::uint64_t shard_count, std::uint64_t ttl) {
  if (shard_count == 0) throw_python(PyExc_ValueError, "shard_count must be at least 1");
  if (shard_count > kMaxShardCount) throw Panic("capacity overflow");
  // std::bad_alloc (shards that cannot be allocated) becomes MemoryError.
  return StoreState{std::make_unique<StatusStore>(shard_count, std::optional<std::uint64_t>(ttl))};
}

// ---- single records ----------------------------------------------------------

std::optional<RecordCopy> get_status(StoreState& self, Region& region, Text task_id) {
  return self.store->read(task_id, region);
}

void update_status(StoreState& self, Region& region, Text task_id, Dict status) {
  TaskStatusDict record =
      region.with_interpreter_lock([&] { return TaskStatusDict::from_dict(status.obj); });
  self.store->write(task_id, std::move(record), region.lock_hook());
}

void update_status_fast(StoreState& self, Region& region, Text task_id, Text status,
                        std::optional<double> submit_time, std::optional<double> start_time,
                        std::optional<double> end_time, std::optional<Text> worker_id) {
  self.store->write(task_id,
                    TaskStatusDict::from_arguments(status, submit_time, start_time, end_time,
                                                   worker_id),
                    region.lock_hook());
}

bool remove_status(StoreState& self, Region& region, Text task_id) {
  // The removed record (and its result) is destroyed here, after the lock.
  return self.store->remove(task_id, region).has_value();
}

// ---- whole store -------------------------------------------------------------

std::uint64_t get_total_count(StoreState& self, Region& region) {
  return self.store->count(region);
}

void clear_all(StoreState& self, Region& region) { self.store->clear(region); }

std::uint64_t get_shard_count(StoreState& self) { return self.store->shard_count(); }

bool resize_shards(StoreState&, std::uint64_t /*_new_shard_count: accepted, unused*/) {
  return false;  // the number of store shards is fixed for a store's life
}

std::uint64_t cleanup_expired(StoreState& self, Region& region,
                              std::optional<std::uint64_t> max_cleanup) {
  if (max_cleanup == std::uint64_t{0}) return 0;
  return self.store->cleanup_expired(max_cleanup, wall_clock_seconds(), region);
}

std::uint64_t enforce_max_count(StoreState& self, Region& region, std::uint64_t max_count) {
  return self.store->enforce_max_count(max_count, region);
}

// ---- batches -----------------------------------------------------------------

RecordCopies get_status_batch(StoreState& self, Region& region, std::vector<Text> task_ids) {
  return self.store->read_each(task_ids, region);  // the frame builds the list of dicts (or None)
}

std::uint64_t update_status_fast_batch(StoreState& self, Region& region,
                                       std::vector<FastItem> items) {
  if (items.size() > kLongBatch) region.release();
  // One record at a time, in input order, no lock held from one to the next:
  // other threads see the batch's records appear in the order given.
  for (auto& [task_id, status, submit_time, start_time, end_time, worker_id] : items) {
    self.store->write(task_id,
                      TaskStatusDict::from_arguments(status, submit_time, start_time, end_time,
                                                     worker_id),
                      region.lock_hook());
  }
  return items.size();
}

// Records of the pairs whose object is a dict, in input order. GIL held.
std::vector<std::pair<Text, TaskStatusDict>> prepare_dict_items(std::vector<DictItem>& items) {
  std::vector<std::pair<Text, TaskStatusDict>> prepared;
  prepared.reserve(items.size());
  for (auto& [task_id, object] : items) {
    if (PyDict_Check(object.get())) {
      prepared.emplace_back(task_id, TaskStatusDict::from_dict(object.get()));
    }
    // Dropped here, with the interpreter lock, rather than queued later; the
    // call's arguments keep the object itself alive.
    object.reset();
  }
  return prepared;
}

std::uint64_t update_status_batch(StoreState& self, Region& region, std::vector<DictItem> items) {
  auto prepared = region.with_interpreter_lock([&] { return prepare_dict_items(items); });
  if (prepared.size() > kLongBatch) region.release();
  for (auto& [task_id, record] : prepared) {
    self.store->write(task_id, std::move(record), region.lock_hook());
  }
  return prepared.size();
}

// ---- registration ------------------------------------------------------------

constexpr const char* kClass = "PyShardedTaskStatus";
constexpr Params<2> kNewParams{kClass, "__new__", {Param{"shard_count"}, Param{"ttl"}}};
constexpr Params<1> kGetStatusParams{kClass, "get_status", {Param{"task_id"}}};
constexpr Params<2> kUpdateStatusParams{kClass, "update_status", {Param{"task_id"}, Param{"status"}}};
constexpr Params<6> kUpdateFastParams{
    kClass,
    "update_status_fast",
    {Param{"task_id"}, Param{"status"}, Param{"submit_time", Default::None},
     Param{"start_time", Default::None}, Param{"end_time", Default::None},
     Param{"worker_id", Default::None}}};
constexpr Params<1> kUpdateFastBatchParams{kClass, "update_status_fast_batch", {Param{"items"}}};
constexpr Params<1> kRemoveParams{kClass, "remove_status", {Param{"task_id"}}};
constexpr Params<1> kCleanupParams{kClass, "cleanup_expired", {Param{"max_cleanup", Default::None}}};
constexpr Params<1> kGetBatchParams{kClass, "get_status_batch", {Param{"task_ids"}}};
constexpr Params<1> kUpdateBatchParams{kClass, "update_status_batch", {Param{"items"}}};
constexpr Params<1> kEnforceParams{kClass, "enforce_max_count", {Param{"max_count"}}};
constexpr Params<1> kResizeParams{kClass, "resize_shards", {Param{"_new_shard_count"}}};

constexpr Params<0> kGetTotalCountParams{kClass, "get_total_count", {}};
constexpr Params<0> kClearAllParams{kClass, "clear_all", {}};
constexpr Params<0> kGetShardCountParams{kClass, "get_shard_count", {}};
constexpr char kClassDoc[] = "分片任务状态存储\n\n使用 ShardTable 实现无锁并发分片存储，支持高并发读写。";
constexpr char kGetStatusDoc[] =
    "获取任务状态\n\nArgs:\n    task_id: 任务ID\n\nReturns:\n    任务状态字典，如果不存在返回 None";
constexpr char kUpdateStatusDoc[] = "更新任务状态\n\nArgs:\n    task_id: 任务ID\n    status: 任务状态字典";
constexpr char kUpdateFastDoc[] =
    "高性能更新状态（直接传递参数，避免字典转换）\n\nArgs:\n    task_id: 任务ID\n    status: 状态字符串\n"
    "    submit_time: 提交时间\n    start_time: 开始时间\n    end_time: 结束时间\n"
    "    worker_id: 工作ID";
constexpr char kUpdateFastBatchDoc[] =
    "高性能批量更新（直接传递参数列表）\n\nArgs:\n"
    "    items: (task_id, status, submit_time, start_time, end_time, worker_id) 元组列表\n\n"
    "Returns:\n    成功更新的数量";
constexpr char kRemoveDoc[] = "移除任务状态\n\nArgs:\n    task_id: 任务ID";
constexpr char kCleanupDoc[] =
    "清理过期任务\n\nArgs:\n    max_cleanup: 最大清理数量，None 表示清理所有过期任务\n\nReturns:\n"
    "    清理的任务数量";
constexpr char kGetBatchDoc[] =
    "批量获取状态\n\nArgs:\n    task_ids: 任务ID列表\n\nReturns:\n"
    "    任务状态列表（与输入顺序相同，不存在的任务对应位置为 None）";
constexpr char kUpdateBatchDoc[] =
    "批量更新状态\n\nArgs:\n    items: (task_id, status_dict) 元组列表\n\nReturns:\n    成功更新的数量";
constexpr char kEnforceDoc[] =
    "强制执行最大任务数量限制\n\n当任务状态数量超过限制时，按时间顺序清理最旧的任务。\n\nArgs:\n    max_count: 最大任务数量\n\n"
    "Returns:\n    清理的任务数量";
constexpr char kResizeDoc[] =
    "动态调整分片数量\n\n注意：由于 Velm 的所有权限制，此方法返回 false 表示需要重新创建实例。\n\nArgs:\n"
    "    new_shard_count: 新的分片数量\n\nReturns:\n    是否成功调整";
constexpr char kGetTotalCountDoc[] = "获取总任务数量";
constexpr char kClearAllDoc[] = "清空所有任务状态";
constexpr char kGetShardCountDoc[] = "获取分片数量";

}  // namespace

struct ShardedStatusClass : ClassBase<ShardedStatusClass, StoreState> {
  static constexpr const char* name = kClass;
  static constexpr const char* doc = class_doc<kNewParams, kClassDoc>();
  static constexpr newfunc new_function = &new_entry<ShardedStatusClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef ShardedStatusClass::methods[] = {
    method<ShardedStatusClass, &get_status, kGetStatusParams, kGetStatusDoc>(),
    method<ShardedStatusClass, &update_status, kUpdateStatusParams, kUpdateStatusDoc>(),
    method<ShardedStatusClass, &update_status_fast, kUpdateFastParams, kUpdateFastDoc>(),
    method<ShardedStatusClass, &update_status_fast_batch, kUpdateFastBatchParams, kUpdateFastBatchDoc>(),
    method<ShardedStatusClass, &remove_status, kRemoveParams, kRemoveDoc>(),
    method<ShardedStatusClass, &cleanup_expired, kCleanupParams, kCleanupDoc>(),
    noargs_method<ShardedStatusClass, &get_total_count, kGetTotalCountParams, kGetTotalCountDoc>(),
    noargs_method<ShardedStatusClass, &clear_all, kClearAllParams, kClearAllDoc>(),
    method<ShardedStatusClass, &get_status_batch, kGetBatchParams, kGetBatchDoc>(),
    method<ShardedStatusClass, &update_status_batch, kUpdateBatchParams, kUpdateBatchDoc>(),
    method<ShardedStatusClass, &enforce_max_count, kEnforceParams, kEnforceDoc>(),
    method<ShardedStatusClass, &resize_shards, kResizeParams, kResizeDoc>(),
    noargs_method<ShardedStatusClass, &get_shard_count, kGetShardCountParams, kGetShardCountDoc>(),
    end_of_methods(),
};

PyTypeObject* sharded_task_status_type() { return ShardedStatusClass::type(); }

}  // namespace vesk
