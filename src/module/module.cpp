// Module initialisation: single-phase, one interpreter per process (the main
// one), the five classes registered in order into the module and its __all__.
#include <atomic>
#include <cstdint>

#if defined(_WIN32)
#define NOMINMAX
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "module/class_def.hpp"
#include "module/errors.hpp"
#include "module/frame.hpp"
#include "module/once.hpp"
#include "module/registry.hpp"
#include "module/signal_thread.hpp"

namespace vesk {
namespace {

constexpr char kModuleDoc[] = "VeskAsyncTask Core Python 模块";

#if defined(Py_TARGET_ABI3T)
// The module object with its functions and docstring; the classes come later.
PyRef new_module(PyObject* spec) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) throw_python_error();
  PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
  if (!module || PyModule_AddFunctions(module.get(), queue_wakeup_functions) < 0 ||
      PyModule_SetDocString(module.get(), kModuleDoc) < 0) {
    throw_python_error();
  }
  return module;
}
#else
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_core",
    kModuleDoc,
    0,        // no per-module state
    queue_wakeup_functions,  // private helpers of the asyncio view
    nullptr,  // no multi-phase slots
    nullptr,
    nullptr,
    nullptr,
};

PyRef new_module(PyObject* /*spec*/) {
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
  if (!module) throw_python_error();
  return module;
}
#endif

std::atomic<PyObject*> cached_module{nullptr};  // one strong reference for the process

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

// Makes the module once; a second initialisation hands back the same one.
PyObject* initialise(PyObject* spec) {
  FrameScope frame;
  try {
    refuse_subinterpreters();
    // (a loader's create_module may be called by two threads at once)
    PyObject* module = made_once(cached_module, [&] {
      PyRef made = new_module(spec);
      for (const ExportedClass& cls : exported_classes) register_class(made.get(), cls);
      record_signal_thread();
      return made;
    });
    return PyRef::borrow(module).release();
  } catch (...) {
    rethrow_if_thread_exit();
    return translate_current_exception();
  }
}

}  // namespace
}  // namespace vesk

#if defined(Py_TARGET_ABI3T)
// The module is described by slots; its create function makes the one module
// of the process (nothing is left for the loader to add to it).
namespace vesk {
namespace {
PyObject* create_module(PyObject* spec, PyModuleDef* /*definition*/) { return initialise(spec); }

PyABIInfo_VAR(abi_info);
// Written out: PySlot_END leaves fields to -Wmissing-field-initializers.
constexpr PySlot kEndOfSlots = {0, 0, {0}, {nullptr}};
PySlot module_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_create, &create_module),
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    // The lock stays on until the suite has run on a free-threaded interpreter.
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_USED),
    kEndOfSlots,
};
}  // namespace
}  // namespace vesk

PyMODEXPORT_FUNC PyModExport__core() { return vesk::module_slots; }
#else
PyMODINIT_FUNC PyInit__core() { return vesk::initialise(nullptr); }
#endif
