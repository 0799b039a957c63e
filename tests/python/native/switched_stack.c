/* Calls a Python callable on a small stack of its own, entered with swapcontext, as a C
 * coroutine library would: the stack the thread switched to is not the one its bounds were read
 * for. The stack sits between two canary pages, with an inaccessible guard page below them:
 *
 *   [guard page][canary page][stack][canary page]
 *
 * placed below the main thread's stack (where mmap puts mappings) or above its top. Loaded
 * through ctypes.PyDLL, so the call keeps the interpreter's lock.
 *
 * switched_call(callable, above, stack_size) returns 0 when the call returned and the canaries
 * are intact, SWITCHED_CANARY when a byte outside the stack changed, SWITCHED_PLACEMENT when no
 * mapping could be placed where asked; when the call raised, the exception stays set (PyDLL
 * raises it). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

enum { SWITCHED_CANARY = 1, SWITCHED_PLACEMENT = 2, SWITCHED_CALL = 3 };

static const unsigned char canary = 0x5C;
static ucontext_t caller;
static ucontext_t callee;
static void* call_target;
static void* call_result;
static void* (*call_object)(void*, void*);
/* Kept outside the frame of switched_call, which swapcontext returns to a second time. */
static unsigned char* region;
static size_t region_size;

static void on_switched_stack(void) {
  call_result = call_object(call_target, NULL);
  /* uc_link returns to the caller. */
}

/* The main thread's [stack] mapping. */
static int main_stack(uintptr_t* start, uintptr_t* end) {
  FILE* maps = fopen("/proc/self/maps", "r");
  char line[512];
  int found = 0;
  if (maps == NULL) return 0;
  while (!found && fgets(line, sizeof line, maps) != NULL) {
    if (strstr(line, "[stack]") != NULL && sscanf(line, "%lx-%lx", start, end) == 2) found = 1;
  }
  fclose(maps);
  return found;
}

static unsigned char* map_region(size_t size, int above) {
  uintptr_t start = 0;
  uintptr_t end = 0;
  if (!main_stack(&start, &end)) return NULL;
  if (!above) {
    void* region = mmap(NULL, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return NULL;
    if ((uintptr_t)region + size > start) {
      munmap(region, size);
      return NULL;
    }
    return region;
  }
  for (uintptr_t hint = end + (1u << 20); hint > end && hint < end + (1ull << 32);
       hint += 1u << 24) {
    void* region = mmap((void*)hint, size, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (region == MAP_FAILED) continue;
    if ((uintptr_t)region == hint) return region;
    munmap(region, size); /* a kernel without MAP_FIXED_NOREPLACE took it as a hint only */
  }
  return NULL;
}

int switched_call(void* callable, int above, size_t stack_size) {
  const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  region_size = 3 * page + stack_size;
  region = map_region(region_size, above);
  if (region == NULL) return SWITCHED_PLACEMENT;
  unsigned char* const low_canary = region + page;
  unsigned char* const stack = low_canary + page;
  unsigned char* const high_canary = stack + stack_size;
  mprotect(low_canary, region_size - page, PROT_READ | PROT_WRITE);
  memset(low_canary, canary, page);
  memset(high_canary, canary, page);

  call_object = (void* (*)(void*, void*))dlsym(RTLD_DEFAULT, "PyObject_CallObject");
  call_target = callable;
  call_result = NULL;
  getcontext(&callee);
  callee.uc_stack.ss_sp = stack;
  callee.uc_stack.ss_size = stack_size;
  callee.uc_link = &caller;
  makecontext(&callee, on_switched_stack, 0);
  swapcontext(&caller, &callee);

  int status = call_result == NULL ? SWITCHED_CALL : 0;
  for (size_t i = 0; i < page; ++i) {
    if (low_canary[i] != canary || high_canary[i] != canary) status = SWITCHED_CANARY;
  }
  munmap(region, region_size);
  return status;
}
