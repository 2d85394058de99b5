// The exported classes, in registration order. Each getter returns the class's
// type object (created on first need) or throws PythonError. GIL held.
#pragma once

#include "module/python.hpp"

namespace vesk {

PyTypeObject* sharded_task_status_type();
PyTypeObject* priority_task_queue_type();
PyTypeObject* task_dependency_manager_type();
PyTypeObject* prioritized_task_type();
PyTypeObject* batched_updater_type();

// The queue's private module-level functions (wake-up descriptors of the
// asyncio view), ending with a null entry.
extern PyMethodDef queue_wakeup_functions[];

}  // namespace vesk
