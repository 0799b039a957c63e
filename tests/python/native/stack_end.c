/* Calls a Python callable with only `room` bytes of the calling thread's stack left below the
 * call (or as much as is left, if less), so that a call's stack scrub meets the end of the
 * stack. Loaded through ctypes.PyDLL, so the call keeps the interpreter's lock; the exception of
 * a call that raised stays set (PyDLL raises it). Returns how many bytes were left. */
#define _GNU_SOURCE
#include <alloca.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

static void* (*call_object)(void*, void*);

__attribute__((noinline)) static void call(void* callable) {
  call_object(callable, NULL);
}

long call_near_stack_end(void* callable, size_t room) {
  pthread_attr_t attributes;
  void* lowest = NULL;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return -1;
  pthread_attr_getstack(&attributes, &lowest, &size);
  pthread_attr_destroy(&attributes);
  call_object = (void* (*)(void*, void*))dlsym(RTLD_DEFAULT, "PyObject_CallObject");
  const uintptr_t here = (uintptr_t)__builtin_frame_address(0);
  const uintptr_t left = here - (uintptr_t)lowest;
  volatile char* taken = alloca(left > room ? left - room : 1);
  taken[0] = 0; /* the pages in between are probed by -fstack-clash-protection or left alone */
  call(callable);
  return (long)(left > room ? room : left);
}
