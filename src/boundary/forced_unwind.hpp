// Forced unwinds. glibc ends a thread (pthread_exit, cancellation) by unwinding its stack with
// abi::__forced_unwind, which is not a C++ exception of the program: destructors run and
// `catch (...)` sees it, but it must not be stopped (a handler that does not rethrow it aborts
// the process, and so does a noexcept frame on its way). CPython 3.12 and 3.13 end a daemon
// thread that way when it takes the interpreter lock back while the interpreter is finalizing,
// which can happen inside any call the module makes into Python code (an __index__, __iter__,
// __next__ or finalizer that releases the lock, to sleep or to read a file).
//
// Such a thread no longer has a thread state: the main thread holds the lock and is tearing the
// interpreter down. So on that way out the module must not touch the interpreter at all, not
// even to drop a reference. The rules that follow from it:
//   - every catch-all in the module rethrows a ForcedUnwind first, and no frame between a call
//     into Python code and the interpreter that called the module is noexcept;
//   - no Python code runs inside a handler (a catch block): the C++ runtime cannot catch a
//     forced unwind while another exception is being handled, not even to rethrow it, and ends
//     the process in std::terminate. A handler takes what it needs out of the exception, and
//     the Python work is done once the handler has ended;
//   - calls that may run Python code go through call_python, which marks the thread as leaving
//     before the destructors of the module's frames run; the holders of references (OwnedRef,
//     ShareTexts) then keep them instead of releasing them. They are leaked, like everything the
//     interpreter's own frames of that thread hold;
//   - what must be wiped on the way out is wiped by destructors, which run; code after a catch
//     block does not.
// A finalizer run by a destructor's own release of a reference cannot be left that way (a
// destructor is noexcept): if it releases the lock at that moment, the process ends in
// std::terminate. A cancellation (pthread_cancel) unwinds the same way, from any cancellation
// point the thread reaches: the module's own noexcept code that reaches one (the writes of
// panic.cpp) holds cancellation off, so that a pending cancellation acts after the call.
//
// ForcedUnwind is glibc's type where the C++ runtime is libstdc++. Elsewhere (musl, macOS,
// Windows) thread exit does not unwind the stack, and ForcedUnwind is a type nothing throws.
#pragma once

#include <atomic>
#include <cstddef>  // defines __GLIBC__ through the C++ runtime's configuration

#if defined(__GLIBC__) && defined(__GLIBCXX__)
#include <cxxabi.h>
#define VELKOR_FORCED_UNWIND 1
#else
#define VELKOR_FORCED_UNWIND 0
#endif

// A handler of ForcedUnwind binds its reference to no object: the C++ runtime hands the handler
// of an exception that is not a C++ one a null address. The handlers only rethrow, but the null
// and alignment checks of UndefinedBehaviorSanitizer report the binding, so a function with such
// a handler is marked with this attribute.
#if defined(__GNUC__)
#define VELKOR_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null", "alignment")))
#else
#define VELKOR_CATCHES_FORCED_UNWIND
#endif

namespace velkor::boundary {

#if VELKOR_FORCED_UNWIND
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

namespace detail {
// Whether any thread of the process has been marked as leaving: almost always false, so that the
// common check costs one load, not a thread-local lookup.
extern std::atomic<bool> any_thread_leaving;
[[nodiscard]] bool this_thread_leaving() noexcept;
}  // namespace detail

// True once the calling thread is being unwound by a forced unwind that came out of a call into
// Python code: it must not call the interpreter any more. It never runs Python code again, so
// this stays true.
[[nodiscard]] inline bool thread_leaving() noexcept {
  return detail::any_thread_leaving.load(std::memory_order_relaxed) &&
         detail::this_thread_leaving();
}

// Marks the calling thread as leaving (call_python does it).
void mark_thread_leaving() noexcept;

// Calls `function(arguments...)`, an interpreter function that may run Python code, and returns
// its result. A forced unwind out of it marks the thread as leaving, then goes on.
template <class Function, class... Arguments>
VELKOR_CATCHES_FORCED_UNWIND decltype(auto) call_python(Function* function,
                                                        Arguments... arguments) {
#if VELKOR_FORCED_UNWIND
  try {
    return function(arguments...);
  } catch (ForcedUnwind&) {
    mark_thread_leaving();
    throw;
  }
#else
  return function(arguments...);
#endif
}

}  // namespace velkor::boundary
