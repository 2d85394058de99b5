// The one include of Python.h for the whole extension. The build defines
// Py_LIMITED_API (stable ABI of 3.10), so only stable-ABI calls compile here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 < 0x030A0000
#error "the extension must be built against the limited API of Python 3.10"
#endif
