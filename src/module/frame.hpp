// The call frame: the one path by which Python calls reach native code.
//
// A method is described once: its parameter names and defaults (Params) and
// its body, a plain function whose C++ parameter types are the argument kinds
// (kinds.hpp) and whose return type is the result kind. The frame parses the
// arguments against the names, converts them, runs the body (inside a lock
// release region when the body's second parameter is Region&), converts the
// result and turns every failure into a Python exception:
//
//   static constexpr Params<2> kGetParams{"Cls", "get", {Param{"key"}, Param{"default", Default::None}}};
//   static std::optional<std::string> get(State&, Text key, std::optional<Text> fallback);
//   static constexpr char kGetDoc[] = "...";  // the docstring after its text signature
//   ... method<Cls, &get, kGetParams, kGetDoc>()
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/kinds.hpp"

namespace vesk {

enum class Default : unsigned char { Required, None, True };

struct Param {
  const char* name;
  Default fallback = Default::Required;
};

template <std::size_t N>
struct Params {
  const char* class_name;   // nullptr for a module-level function
  const char* method_name;  // "__new__" for a constructor
  std::array<Param, N> params;

  constexpr std::size_t required() const {
    std::size_t n = 0;
    while (n < N && params[n].fallback == Default::Required) ++n;
    return n;
  }
};

// A parameter list seen without its size, for the parser.
struct Signature {
  const char* class_name;
  const char* method_name;
  const Param* params;
  std::size_t count;
  std::size_t required;
};

template <std::size_t N>
constexpr Signature signature_of(const Params<N>& p) {
  return Signature{p.class_name, p.method_name, p.params.data(), N, p.required()};
}

// Parses positional and keyword arguments into `slots` (borrowed, nullptr
// when absent). Throws PythonError with the frame's TypeError messages.
// `kwnames` is a tuple of names whose values follow the positionals in `args`.
void parse_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);
// The same for a constructor's (tuple, dict) arguments.
void parse_tuple_and_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                          PyObject** slots);

// Turns a TypeError raised while converting `param` into
// "argument '{param}': {message}"; other errors pass unchanged.
[[noreturn]] void rethrow_with_argument_name(const char* param);

// Converts the exception in flight (caught by the frame) into a Python error.
// Returns nullptr for the caller to hand back to the interpreter. Not
// noexcept: creating the error may run Python code (a garbage collection).
PyObject* translate_current_exception();

// Reports the exception in flight with PyErr_WriteUnraisable (deallocation),
// which runs sys.unraisablehook.
void report_unraisable_current_exception(PyObject* context);

// "'{type}' object cannot be converted to '{class}'" for a wrong self.
[[noreturn]] void throw_wrong_instance(PyObject* self, const char* class_name);

// ---- instance layout ---------------------------------------------------------

// The state of an instance of Class, whose type is `type` (classes are final).
#if defined(Py_TARGET_ABI3T)
// PyObject is opaque: the state is the data that a negative basicsize adds
// after the base object, found through the type.
template <class State>
inline constexpr int kInstanceSize = -static_cast<int>(sizeof(State));

template <class Class>
typename Class::State& state_of(PyObject* self, PyTypeObject* type) noexcept {
  static_assert(alignof(typename Class::State) <= alignof(std::max_align_t),
                "type data is aligned only to max_align_t");
  return *static_cast<typename Class::State*>(PyObject_GetTypeData(self, type));
}
template <class Class>
typename Class::State& state_of(PyObject* self) noexcept {
  return state_of<Class>(self, Class::type());
}
#else
template <class State>
struct Instance {
  PyObject_HEAD
  State state;
};
template <class State>
inline constexpr int kInstanceSize = static_cast<int>(sizeof(Instance<State>));

template <class Class>
typename Class::State& state_of(PyObject* self, PyTypeObject* = nullptr) noexcept {
  return reinterpret_cast<Instance<typename Class::State>*>(self)->state;
}
#endif

namespace frame_detail {

template <class T>
struct FunctionTraits;
template <class R, class... A>
struct FunctionTraits<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<A...>;
};

template <class T>
inline constexpr bool is_region_v = std::is_same_v<std::remove_cvref_t<T>, Region>;

// The argument types of a body, without the leading State& (and Region&).
template <class Args>
struct BodyArgs;
template <class S, class... A>
struct BodyArgs<std::tuple<S, A...>> {
  static constexpr bool has_region = false;
  using Values = std::tuple<std::remove_cvref_t<A>...>;
};
template <class S, class... A>
struct BodyArgs<std::tuple<S, Region&, A...>> {
  static constexpr bool has_region = true;
  using Values = std::tuple<std::remove_cvref_t<A>...>;
};
template <class S>
struct BodyArgs<std::tuple<S>> {
  static constexpr bool has_region = false;
  using Values = std::tuple<>;
};

template <class T>
struct IsOptional : std::false_type {};
template <class X>
struct IsOptional<std::optional<X>> : std::true_type {};

// Converts one parsed slot by the parameter's kind and default.
template <class T>
T convert_slot(const Param& param, PyObject* slot, CallArena& arena) {
  if (slot == nullptr) {
    if constexpr (IsOptional<T>::value) {
      return std::nullopt;
    } else if constexpr (std::is_same_v<T, bool>) {
      return true;  // the only other default is True, on flags
    } else {
      throw Panic("missing argument passed the parser");
    }
  }
  try {
    return ArgKind<T>::convert(slot, arena);
  } catch (const PythonError&) {
    rethrow_with_argument_name(param.name);
  }
}

template <class Values, std::size_t... I>
Values convert_slots(const Param* params, PyObject* const* slots, CallArena& arena,
                     std::index_sequence<I...>) {
  // Braced initialisation converts in parameter order.
  return Values{convert_slot<std::tuple_element_t<I, Values>>(params[I], slots[I], arena)...};
}

template <class Values, std::size_t N>
Values convert_all(const Params<N>& parameters, PyObject* const* slots, CallArena& arena) {
  static_assert(std::tuple_size_v<Values> == N,
                "a body takes exactly one native argument per described parameter");
  return convert_slots<Values>(parameters.params.data(), slots, arena,
                               std::make_index_sequence<N>{});
}

// Runs the body and converts its result.
template <auto Body, class State, class Values>
PyObject* run_body(State& state, Values&& values) {
  using Traits = FunctionTraits<decltype(Body)>;
  using R = typename Traits::Result;
  constexpr bool has_region = BodyArgs<typename Traits::Args>::has_region;
  auto call = [&](auto&... extra) -> R {
    return std::apply(
        [&](auto&&... args) -> R { return Body(state, extra..., std::move(args)...); },
        std::forward<Values>(values));
  };
  if constexpr (has_region) {
    auto in_region = [&](Region& region) -> R { return call(region); };
    if constexpr (std::is_void_v<R>) {
      run_in_region(in_region);
      Py_RETURN_NONE;
    } else {
      return to_python(run_in_region(in_region));
    }
  } else if constexpr (std::is_void_v<R>) {
    call();
    Py_RETURN_NONE;
  } else {
    return to_python(call());
  }
}

}  // namespace frame_detail

// The entries below are not noexcept and let a forced unwind pass (see gil.hpp):
// at interpreter exit a daemon thread inside a method is ended through them.
// Each ends with frame.finish(), which releases what the call set aside.

// METH_FASTCALL | METH_KEYWORDS entry of a method with parameters.
template <class Class, auto Body, const auto& Parameters>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  using Values = typename frame_detail::BodyArgs<
      typename frame_detail::FunctionTraits<decltype(Body)>::Args>::Values;
  constexpr std::size_t N = std::tuple_size_v<Values>;
  FrameScope frame;
  try {
    PyObject* slots[N == 0 ? 1 : N] = {};
    static constexpr Signature sig = signature_of(Parameters);
    parse_arguments(sig, args, nargs, kwnames, slots);
    if (!Class::is_instance(self)) throw_wrong_instance(self, Parameters.class_name);
    PyObject* result = nullptr;
    {
      CallArena arena;
      result = frame_detail::run_body<Body>(state_of<Class>(self),
                                            frame_detail::convert_all<Values>(Parameters, slots, arena));
    }
    return frame.finish(result);
  } catch (...) {
    rethrow_if_thread_exit();
    return frame.finish(translate_current_exception());
  }
}

// METH_FASTCALL | METH_KEYWORDS entry of a module-level function whose first
// parameter is an instance of Class, handed to the body as its state (Parameters
// names that parameter first and has no class name).
template <class Class, auto Body, const auto& Parameters>
PyObject* function_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  using Values = typename frame_detail::BodyArgs<
      typename frame_detail::FunctionTraits<decltype(Body)>::Args>::Values;
  constexpr std::size_t N = std::tuple_size_v<Values>;
  static_assert(Parameters.params.size() == N + 1, "the instance comes first, then the body's arguments");
  FrameScope frame;
  try {
    PyObject* slots[N + 1] = {};
    static constexpr Signature sig = signature_of(Parameters);
    parse_arguments(sig, args, nargs, kwnames, slots);
    try {
      if (!Class::is_instance(slots[0])) throw_wrong_instance(slots[0], Class::name);
    } catch (const PythonError&) {
      rethrow_with_argument_name(Parameters.params[0].name);
    }
    PyObject* result = nullptr;
    {
      CallArena arena;
      result = frame_detail::run_body<Body>(
          state_of<Class>(slots[0]),
          frame_detail::convert_slots<Values>(Parameters.params.data() + 1, slots + 1, arena,
                                              std::make_index_sequence<N>{}));
    }
    return frame.finish(result);
  } catch (...) {
    rethrow_if_thread_exit();
    return frame.finish(translate_current_exception());
  }
}

// METH_NOARGS entry.
template <class Class, auto Body>
PyObject* noargs_entry(PyObject* self, PyObject*) {
  FrameScope frame;
  try {
    if (!Class::is_instance(self)) throw_wrong_instance(self, Class::name);
    return frame.finish(frame_detail::run_body<Body>(state_of<Class>(self), std::tuple<>{}));
  } catch (...) {
    rethrow_if_thread_exit();
    return frame.finish(translate_current_exception());
  }
}

// tp_new: parses and converts, builds the native state, allocates the instance.
template <class Class, auto Construct, const auto& Parameters>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using State = typename Class::State;
  using Values = typename frame_detail::FunctionTraits<decltype(Construct)>::Args;
  constexpr std::size_t N = std::tuple_size_v<Values>;
  FrameScope frame;
  try {
    PyObject* slots[N == 0 ? 1 : N] = {};
    static constexpr Signature sig = signature_of(Parameters);
    parse_tuple_and_dict(sig, args, kwargs, slots);
    CallArena arena;
    State state = std::apply(Construct, frame_detail::convert_all<Values>(Parameters, slots, arena));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* obj = alloc(type, 0);
    if (obj == nullptr) throw_python_error();  // `state` is destroyed on the way out
    new (&state_of<Class>(obj, type)) State(std::move(state));
    return frame.finish(obj);
  } catch (...) {
    rethrow_if_thread_exit();
    return frame.finish(translate_current_exception());
  }
}

// tp_dealloc: destroys the native state under the frame (the references it
// owned are set aside, not released), frees the object, then releases them.
template <class Class>
void dealloc_entry(PyObject* self) {
  using State = typename Class::State;
  PyTypeObject* type = Py_TYPE(self);
  FrameScope frame;
  try {
    state_of<Class>(self, type).~State();
  } catch (...) {
    rethrow_if_thread_exit();
    report_unraisable_current_exception(reinterpret_cast<PyObject*>(type));
  }
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // a heap type's instance owns a reference to its type
  frame.finish(0);
}

// ---- method tables -------------------------------------------------------------

namespace frame_detail {

// Writes a docstring: "name(params)\n--\n\n" and then `text`, where a
// method's name is its own and its params start with $self ($module for a
// module-level function), and a class's name is the class name. Only counts when `out` is null. Returns the length.
template <std::size_t N>
constexpr std::size_t write_doc(const Params<N>& parameters, bool is_method, const char* text, char* out) {
  std::size_t length = 0;
  auto put = [&](const char* part) {
    for (; *part != '\0'; ++part, ++length) {
      if (out != nullptr) out[length] = *part;
    }
  };
  put(is_method ? parameters.method_name : parameters.class_name);
  put(!is_method ? "(" : parameters.class_name != nullptr ? "($self" : "($module");
  for (std::size_t i = 0; i < N; ++i) {
    put(is_method || i > 0 ? ", " : "");
    put(parameters.params[i].name);
    put(parameters.params[i].fallback == Default::None ? "=None" : parameters.params[i].fallback == Default::True ? "=True" : "");
  }
  put(")\n--\n\n");
  put(text);
  return length;
}

// The docstring of a method (IsMethod) or class, built at compile time from
// its parameter description, so the text signature cannot drift from it.
template <const auto& Parameters, bool IsMethod, const auto& Text>
inline constexpr auto doc_string = [] {
  std::array<char, write_doc(Parameters, IsMethod, Text, nullptr) + 1> chars{};
  write_doc(Parameters, IsMethod, Text, chars.data());
  return chars;
}();

}  // namespace frame_detail

namespace frame_detail {
// A METH_FASTCALL | METH_KEYWORDS table entry for `entry`, documented as a method.
template <const auto& Parameters, const auto& Text>
constexpr PyMethodDef fastcall_def(PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return PyMethodDef{Parameters.method_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry)),
                     METH_FASTCALL | METH_KEYWORDS, doc_string<Parameters, true, Text>.data()};
}
}  // namespace frame_detail

// A method table entry; its docstring is the signature built from the Params, then Text.
template <class Class, auto Body, const auto& Parameters, const auto& Text>
constexpr PyMethodDef method() {
  return frame_detail::fastcall_def<Parameters, Text>(&method_entry<Class, Body, Parameters>);
}

// A module-level function whose first parameter is an instance of Class.
template <class Class, auto Body, const auto& Parameters, const auto& Text>
constexpr PyMethodDef function() {
  return frame_detail::fastcall_def<Parameters, Text>(&function_entry<Class, Body, Parameters>);
}

// The same for a method without parameters (Parameters is a Params<0>).
template <class Class, auto Body, const auto& Parameters, const auto& Text>
constexpr PyMethodDef noargs_method() {
  static_assert(Parameters.params.size() == 0, "a no-argument method describes no parameters");
  return PyMethodDef{Parameters.method_name, &noargs_entry<Class, Body>, METH_NOARGS,
                     frame_detail::doc_string<Parameters, true, Text>.data()};
}

// A class's docstring: the constructor's signature built from the Params, then Text.
template <const auto& Parameters, const auto& Text>
constexpr const char* class_doc() {
  return frame_detail::doc_string<Parameters, false, Text>.data();
}

constexpr PyMethodDef end_of_methods() { return PyMethodDef{nullptr, nullptr, 0, nullptr}; }

}  // namespace vesk
