// PyShardedTaskStatus: task status records sharded by task identifier.
#include "module/class_def.hpp"
#include "module/registry.hpp"

namespace vesk {
namespace {

struct StoreState {
  std::uint64_t shard_count;
  std::uint64_t ttl_seconds;
};

StoreState construct(std::uint64_t shard_count, std::uint64_t ttl) {
  return StoreState{shard_count, ttl};
}

constexpr Params<2> kNewParams{
    "PyShardedTaskStatus", "__new__", {Param{"shard_count"}, Param{"ttl"}}};

}  // namespace

struct ShardedStatusClass : ClassBase<ShardedStatusClass, StoreState> {
  static constexpr const char* name = "PyShardedTaskStatus";
  static constexpr const char* doc =
      "PyShardedTaskStatus(shard_count, ttl)\n--\n\n分片任务状态存储\n\n"
      "使用 ShardTable 实现无锁并发分片存储，支持高并发读写。";
  static constexpr newfunc new_function = &new_entry<ShardedStatusClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef ShardedStatusClass::methods[] = {end_of_methods()};

PyTypeObject* sharded_task_status_type() { return ShardedStatusClass::type(); }

}  // namespace vesk
