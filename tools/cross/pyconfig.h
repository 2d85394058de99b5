/* Just enough of CPython's pyconfig.h for tools/cross-check to compile the module
   for macOS and Windows, whose CPython headers this Linux machine does not have
   (the rest of CPython's include folder is the same on every platform). The values
   are those of CPython's own builds for 64-bit macOS and 64-bit Windows; nothing
   here was taken from a real build of either, so a compile with it proves the
   module's own code portable, not that it matches a given CPython. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1

#if defined(_WIN32)
/* LLP64: a long is 32 bits. Python exports its API from a DLL. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define SIZEOF_LONG 4
#define SIZEOF_WCHAR_T 2
#define SIZEOF_OFF_T 4
#define SIZEOF_PID_T 4
#elif defined(__APPLE__)
#define SIZEOF_LONG 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF_OFF_T 8
#define SIZEOF_PID_T 4
#define HAVE_SSIZE_T 1
#define HAVE_UNISTD_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_PTHREAD_H 1
#define _DARWIN_C_SOURCE 1
#else
#error "tools/cross/pyconfig.h serves macOS and Windows only"
#endif

#endif /* Py_CONFIG_H */
