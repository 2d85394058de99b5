// PyTaskDependencyManager: dependencies between tasks, readiness, cycles.
#include "module/class_def.hpp"
#include "module/registry.hpp"

namespace vesk {
namespace {

struct ManagerState {};

ManagerState construct() { return ManagerState{}; }

constexpr Params<0> kNewParams{"PyTaskDependencyManager", "__new__", {}};

}  // namespace

struct DependencyManagerClass : ClassBase<DependencyManagerClass, ManagerState> {
  static constexpr const char* name = "PyTaskDependencyManager";
  static constexpr const char* doc =
      "PyTaskDependencyManager()\n--\n\n任务依赖管理器\n\n管理任务之间的依赖关系，支持循环检测。";
  static constexpr newfunc new_function =
      &new_entry<DependencyManagerClass, &construct, kNewParams>;
  static PyMethodDef methods[];
};

PyMethodDef DependencyManagerClass::methods[] = {end_of_methods()};

PyTypeObject* task_dependency_manager_type() { return DependencyManagerClass::type(); }

}  // namespace vesk
