// Module initialisation: single-phase, one interpreter per process, the five
// classes registered in order into the module and its __all__.
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
#include "module/registry.hpp"

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

std::atomic<std::int64_t> recorded_interpreter{-1};
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

[[noreturn]] void refuse_second_interpreter() {
  throw_python(PyExc_ImportError,
               "vesk_async_task._core does not support subinterpreters: it is already "
               "loaded in another interpreter of this process");
}

// A function the interpreter exports but the stable ABI does not name; null if
// this interpreter has none.
void* interpreter_function(const char* name) {
#if defined(_WIN32)
  // The interpreter's own DLL (python3XY.dll, not the python3.dll of the
  // stable ABI) is the one that holds PyInterpreterState_Get's code.
  HMODULE interpreter = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&PyInterpreterState_Get), &interpreter)) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(interpreter, name));
#else
  return dlsym(RTLD_DEFAULT, name);
#endif
}

// CPython 3.12 refuses a single-phase module in an isolated subinterpreter
// only after the module's init function has run. Asking it first means such a
// refused import creates and records nothing. (Later versions ask before they
// call the init function; earlier ones have no isolated subinterpreters.)
void refuse_where_the_interpreter_will() {
  using Check = int (*)(const char*);
  static const auto check =
      reinterpret_cast<Check>(interpreter_function("_PyImport_CheckSubinterpIncompatibleExtensionAllowed"));
  if (check != nullptr && check(kModuleName) < 0) throw_python_error();
}

std::int64_t current_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_python_error();
  return id;
}

void check_interpreter(std::int64_t id) {
  const std::int64_t recorded = recorded_interpreter.load();
  if (recorded != -1 && recorded != id) refuse_second_interpreter();
  refuse_where_the_interpreter_will();
}

// Records the interpreter once its import has succeeded.
void record_interpreter(std::int64_t id) {
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    refuse_second_interpreter();
  }
}

PyObject* initialise() {
  FrameScope frame;
  try {
    const std::int64_t interpreter = current_interpreter();
    check_interpreter(interpreter);
    if (cached_module != nullptr) return PyRef::borrow(cached_module).release();
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) throw_python_error();
    for (const ExportedClass& cls : exported_classes) register_class(module.get(), cls);
    record_interpreter(interpreter);
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
