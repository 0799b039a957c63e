/* A preloadable stand-in for the C library's getrandom() that can be told to fail, or to hand
 * out bytes chosen by the test.
 *
 * Loaded with LD_PRELOAD into a test's Python process, it forwards every call to the real
 * getrandom() and counts it. Python code drives it through ctypes:
 *
 *   fault_arm(after, err)       let `after` more calls succeed, then fail every call with errno
 *                               `err`
 *   fault_disarm()              let every call succeed again
 *   fault_calls()               the number of calls made so far
 *   fault_bytes()               the number of bytes requested so far
 *   fault_script(data, size)    answer the next requests from these `size` bytes (copied, at
 *                               most SCRIPT_CAPACITY), in order, instead of the real generator;
 *                               a request that needs more than is left takes the rest of the
 *                               script and the real generator's bytes after it
 *   fault_script_left()         the number of scripted bytes not handed out yet
 *
 * A call that fails (fault_arm) takes nothing from the script.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#define SCRIPT_CAPACITY 4096

static long remaining = -1; /* calls left before failing; -1 when disarmed */
static int failure_errno = 0;
static long calls = 0;
static long long bytes = 0;
static unsigned char script[SCRIPT_CAPACITY];
static size_t script_size = 0;
static size_t script_next = 0;

void fault_arm(long after, int err) {
  remaining = after;
  failure_errno = err;
}

void fault_disarm(void) {
  remaining = -1;
}

long fault_calls(void) {
  return calls;
}

long long fault_bytes(void) {
  return bytes;
}

long fault_script(const unsigned char* data, long size) {
  if (size < 0 || size > SCRIPT_CAPACITY) {
    return -1;
  }
  memcpy(script, data, (size_t)size);
  script_size = (size_t)size;
  script_next = 0;
  return size;
}

long fault_script_left(void) {
  return (long)(script_size - script_next);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  static ssize_t (*real)(void*, size_t, unsigned int) = NULL;
  calls++;
  bytes += (long long)length;
  if (remaining == 0) {
    errno = failure_errno;
    return -1;
  }
  if (remaining > 0) {
    remaining--;
  }
  size_t scripted = script_size - script_next;
  if (scripted > length) {
    scripted = length;
  }
  memcpy(buffer, script + script_next, scripted);
  script_next += scripted;
  if (scripted == length) {
    return (ssize_t)length;
  }
  if (real == NULL) {
    real = (ssize_t (*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
  }
  ssize_t got = real((unsigned char*)buffer + scripted, length - scripted, flags);
  return got < 0 ? (scripted > 0 ? (ssize_t)scripted : got) : got + (ssize_t)scripted;
}
