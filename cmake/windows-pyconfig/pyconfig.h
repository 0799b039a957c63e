/* The configuration header for building the module for 64-bit Windows with a MinGW-w64 cross
 * compiler (GCC or Clang), against the limited API only. CPython's other headers are the same on
 * every platform; only this one describes the target, so the build uses a copy of the build
 * interpreter's include folder with this file in place of its own (cmake/windows-python.cmake).
 *
 * It says what a Windows CPython says of itself that the limited API's headers read: a Windows
 * platform, symbols imported from the interpreter's DLL, and the LLP64 type sizes. Every size is
 * checked against the compiler's below, so a compiler for another target fails here rather than
 * building a module with a wrong object layout. */
#ifndef VELKOR_WINDOWS_PYCONFIG_H
#define VELKOR_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__) || !defined(__MINGW64__)
#error "this pyconfig.h is for 64-bit Windows (x86-64) with a MinGW-w64 compiler"
#endif
#if !defined(Py_LIMITED_API)
#error "this pyconfig.h describes the limited API only: define Py_LIMITED_API"
#endif
#if defined(Py_BUILD_CORE) || defined(Py_GIL_DISABLED) || defined(Py_DEBUG)
#error "this pyconfig.h is for extension modules of the release build's stable ABI"
#endif

/* The platform: MS_WINDOWS selects the Windows parts of the headers (no <unistd.h>, the
 * PyErr_SetFromWindowsErr family); MS_WIN64 and MS_WIN32 name the 64-bit Windows API. */
#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is a DLL (python3.dll forwards the stable ABI to python3XY.dll): the API is
 * imported with __declspec(dllimport), and PyMODINIT_FUNC exports the module's init function. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Headers every Windows C runtime has. */
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_WCHAR_H 1
#define HAVE_LONG_LONG 1

/* LLP64: int and long of 4 bytes, pointers, size_t and long long of 8; wchar_t is UTF-16.
 * Py_ssize_t is taken as intptr_t by pyport.h (SIZEOF_VOID_P == SIZEOF_SIZE_T). */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8

#if __SIZEOF_SHORT__ != SIZEOF_SHORT || __SIZEOF_INT__ != SIZEOF_INT ||           \
    __SIZEOF_LONG__ != SIZEOF_LONG || __SIZEOF_LONG_LONG__ != SIZEOF_LONG_LONG || \
    __SIZEOF_POINTER__ != SIZEOF_VOID_P || __SIZEOF_SIZE_T__ != SIZEOF_SIZE_T ||  \
    __SIZEOF_WCHAR_T__ != SIZEOF_WCHAR_T || __SIZEOF_FLOAT__ != SIZEOF_FLOAT ||   \
    __SIZEOF_DOUBLE__ != SIZEOF_DOUBLE
#error "the compiler's type sizes are not those of 64-bit Windows"
#endif
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "64-bit Windows is little-endian"
#endif

#endif /* VELKOR_WINDOWS_PYCONFIG_H */
