// Heap types built from type specs, named "vesk_async_task._core.<Class>":
// default flags only (no subclassing, no cyclic GC, no __dict__, no weak
// references), exactly tp_new, tp_dealloc, the method table and the docstring
// with the constructor's text signature.
#pragma once

#include <atomic>
#include <string>

#include "module/frame.hpp"
#include "module/once.hpp"

namespace vesk {

inline constexpr const char* kModuleName = "vesk_async_task._core";

// Returns a new type object built from `spec` (a PyType_Spec), or throws PythonError with the
// RuntimeError "An error occurred while initializing class {}" set.
PyObject* create_type(PyType_Spec* spec, const char* class_name);

// Base of every exported class: `Derived` supplies name, doc, State,
// methods (a PyMethodDef array) and new_function (its tp_new).
template <class Derived, class StateType>
struct ClassBase {
  using State = StateType;

  // The type object, created on first need and kept for the process. GIL held.
  static PyTypeObject* type() {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* known = cached.load(std::memory_order_acquire)) {
      return reinterpret_cast<PyTypeObject*>(known);
    }
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(Derived::new_function)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_entry<Derived>)},
        {Py_tp_methods, static_cast<void*>(Derived::methods)},
        {Py_tp_doc, const_cast<char*>(Derived::doc)},
        {0, nullptr},
    };
    // Qualified, so that the type gets a __module__ (pydoc and strict warnings
    // need one); __name__, __qualname__ and messages keep the bare name.
    static const std::string qualified_name = std::string(kModuleName) + "." + Derived::name;
    static PyType_Spec spec{qualified_name.c_str(), kInstanceSize<StateType>,
                            0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(
        made_once(cached, [] { return PyRef::steal(create_type(&spec, Derived::name)); }));
  }

  static bool is_instance(PyObject* obj) {
    PyTypeObject* cls = type();
    return Py_TYPE(obj) == cls || PyObject_TypeCheck(obj, cls);
  }
};

}  // namespace vesk
