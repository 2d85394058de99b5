// The Python class PrioritizedTask: a queue entry that Python can construct
// but that exposes nothing.
#include "module/class_def.hpp"
#include "module/registry.hpp"
#include "types/task_heap.hpp"

namespace vesk {
namespace {

PrioritizedTask construct(std::int32_t priority, Text task_id, double submit_time) {
  return PrioritizedTask{priority, std::string(task_id), submit_time};
}

constexpr Params<3> kNewParams{
    "PrioritizedTask", "__new__", {Param{"priority"}, Param{"task_id"}, Param{"submit_time"}}};

constexpr char kClassDoc[] = "优先级任务\n\n用于优先级队列的任务包装（不存储 PyObject，避免 Clone 问题）";

}  // namespace

struct PrioritizedTaskClass : ClassBase<PrioritizedTaskClass, PrioritizedTask> {
  static constexpr const char* name = "PrioritizedTask";
  static constexpr const char* doc = class_doc<kNewParams, kClassDoc>();
  static constexpr newfunc new_function = &new_entry<PrioritizedTaskClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef PrioritizedTaskClass::methods[] = {end_of_methods()};

PyTypeObject* prioritized_task_type() { return PrioritizedTaskClass::type(); }

}  // namespace vesk
