// PyBatchedUpdater: writes batches of status dictionaries into a store of its
// own, whose records never expire.
//
// update_batch runs in a lock release region and reads each pair's dict with
// the interpreter lock re-taken for that pair only, so other Python threads
// run between pairs of a long batch. The map write happens after the lock is
// given back.
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "concurrent/hash_keys.hpp"
#include "module/class_def.hpp"
#include "module/registry.hpp"
#include "status/status_store.hpp"

namespace vesk {
namespace {

struct UpdaterState {
  std::uint64_t batch_size;  // accepted and kept; nothing depends on it
  std::unique_ptr<StatusStore> records;
};

UpdaterState construct(std::uint64_t batch_size) {
  return UpdaterState{batch_size, std::make_unique<StatusStore>(default_shard_count(), std::nullopt)};
}

// The record of one pair, or nothing when the object is not a dict or a
// lookup in it raised (that error is discarded). GIL held.
std::optional<TaskStatusDict> record_of(PyRef& object) {
  std::optional<TaskStatusDict> record;
  if (PyDict_Check(object.get())) {
    try {
      record = TaskStatusDict::from_dict(object.get());
    } catch (const PythonError&) {
      PyErr_Clear();
    }
  }
  // Released now, with the interpreter lock; the call's arguments keep the
  // object itself alive.
  object.reset();
  return record;
}

std::uint64_t update_batch(UpdaterState& self, Region& region,
                           std::vector<std::tuple<Text, PyRef>> items) {
  if (items.size() > kLongBatch) region.release();
  std::uint64_t written = 0;
  for (auto& [task_id, object] : items) {
    std::optional<TaskStatusDict> record =
        region.with_interpreter_lock([&] { return record_of(object); });
    if (!record) continue;
    self.records->write(task_id, std::move(*record), region.lock_hook());
    ++written;
  }
  return written;
}

constexpr Params<1> kNewParams{"PyBatchedUpdater", "__new__", {Param{"batch_size"}}};
constexpr Params<1> kUpdateBatchParams{"PyBatchedUpdater", "update_batch", {Param{"items"}}};

constexpr char kClassDoc[] = "批量状态更新器\n\n收集多个更新，批量提交以减少锁竞争。";
constexpr char kUpdateBatchDoc[] = "批量更新状态";

}  // namespace

struct BatchedUpdaterClass : ClassBase<BatchedUpdaterClass, UpdaterState> {
  static constexpr const char* name = "PyBatchedUpdater";
  static constexpr const char* doc = class_doc<kNewParams, kClassDoc>();
  static constexpr newfunc new_function = &new_entry<BatchedUpdaterClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef BatchedUpdaterClass::methods[] = {
    method<BatchedUpdaterClass, &update_batch, kUpdateBatchParams, kUpdateBatchDoc>(),
    end_of_methods(),
};

PyTypeObject* batched_updater_type() { return BatchedUpdaterClass::type(); }

}  // namespace vesk
