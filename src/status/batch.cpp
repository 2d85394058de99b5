// PyBatchedUpdater: writes batches of status dictionaries into a map of its own.
#include "module/class_def.hpp"
#include "module/registry.hpp"

namespace vesk {
namespace {

struct UpdaterState {
  std::uint64_t batch_size;
};

UpdaterState construct(std::uint64_t batch_size) { return UpdaterState{batch_size}; }

constexpr Params<1> kNewParams{"PyBatchedUpdater", "__new__", {Param{"batch_size"}}};

}  // namespace

struct BatchedUpdaterClass : ClassBase<BatchedUpdaterClass, UpdaterState> {
  static constexpr const char* name = "PyBatchedUpdater";
  static constexpr const char* doc =
      "PyBatchedUpdater(batch_size)\n--\n\n批量状态更新器\n\n收集多个更新，批量提交以减少锁竞争。";
  static constexpr newfunc new_function = &new_entry<BatchedUpdaterClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef BatchedUpdaterClass::methods[] = {end_of_methods()};

PyTypeObject* batched_updater_type() { return BatchedUpdaterClass::type(); }

}  // namespace vesk
