// The one include of Python.h for the whole extension. The build defines
// Py_LIMITED_API (stable ABI of 3.10), or Py_TARGET_ABI3T (the stable ABI of
// 3.15 that free-threaded interpreters load too, where PyObject is opaque), so
// only stable-ABI calls compile here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 < 0x030A0000
#error "the extension must be built against the limited API of Python 3.10"
#endif
#if defined(Py_TARGET_ABI3T) && Py_LIMITED_API + 0 < 0x030F0000
#error "an abi3t build must target the limited API of Python 3.15"
#endif
