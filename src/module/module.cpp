// Module initialisation: single-phase, one interpreter per process (the main
// one), the five classes registered in order into the module and its __all__.
#include <cstdint>

#include "module/class_def.hpp"
#include "module/errors.hpp"
#include "module/frame.hpp"
#include "module/registry.hpp"
#include "module/signal_thread.hpp"

namespace vesk {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "VeskAsyncTask Core Python 模块",
    0,        // no per-module state
    queue_wakeup_functions,  // private helpers of the asyncio view
    nullptr,  // no multi-phase slots
    nullptr,
    nullptr,
    nullptr,
};

PyObject* cached_module = nullptr;  // one strong reference for the process

struct ExportedClass {
  const char* name;
  PyTypeObject* (*type)();
};

constexpr ExportedClass exported_classes[] = {
    {"PyShardedTaskStatus", &sharded_task_status_type},
    {"PyPriorityTaskQueue", &priority_task_queue_type},
    {"PyTaskDependencyManager", &task_dependency_manager_type},
    {"PrioritizedTask", &prioritized_task_type},
    {"PyBatchedUpdater", &batched_updater_type},
};

// The module's __all__, created as an empty list when missing.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
  }
  if (!PyList_Check(all.get())) throw_cannot_convert(all.get(), "PyList");
  return all;
}

void register_class(PyObject* module, const ExportedClass& cls) {
  auto* type = reinterpret_cast<PyObject*>(cls.type());
  PyRef all = all_list(module);
  PyRef name = PyRef::steal(PyUnicode_FromString(cls.name));
  if (!name || PyList_Append(all.get(), name.get()) < 0) throw_python_error();
  if (PyObject_SetAttrString(module, cls.name, type) < 0) throw_python_error();
}

// The module's types and cached objects are made once and kept for the
// process, so they must belong to the interpreter that lives as long as the
// process: the main one (identifier 0). Made by a subinterpreter, they would
// outlive it, and the main interpreter could not have its own. A
// subinterpreter is refused before it creates anything. (CPython 3.13 first
// runs this function in the main interpreter on a subinterpreter's behalf:
// that makes the main interpreter's module, which it may import later.)
void refuse_subinterpreters() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_python_error();
  if (id != 0) {
    throw_python(PyExc_ImportError,
                 "vesk_async_task._core does not support subinterpreters: only the main "
                 "interpreter can import it");
  }
}

PyObject* initialise() {
  FrameScope frame;
  try {
    refuse_subinterpreters();
    if (cached_module != nullptr) return PyRef::borrow(cached_module).release();
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) throw_python_error();
    for (const ExportedClass& cls : exported_classes) register_class(module.get(), cls);
    record_signal_thread();
    cached_module = PyRef::borrow(module.get()).release();
    return module.release();
  } catch (...) {
    rethrow_if_thread_exit();
    return translate_current_exception();
  }
}

}  // namespace
}  // namespace vesk

PyMODINIT_FUNC PyInit__core() { return vesk::initialise(); }
