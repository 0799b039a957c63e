/* A preloadable stand-in for the C library's getrandom() that can be told to fail.
 *
 * Loaded with LD_PRELOAD into a test's Python process, it forwards every call to the real
 * getrandom() and counts it. Python code drives it through ctypes:
 *
 *   fault_arm(after, err)  let `after` more calls succeed, then fail every call with errno `err`
 *   fault_disarm()         let every call succeed again
 *   fault_calls()          the number of calls made so far
 *   fault_bytes()          the number of bytes requested so far
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>

static long remaining = -1; /* calls left before failing; -1 when disarmed */
static int failure_errno = 0;
static long calls = 0;
static long long bytes = 0;

void fault_arm(long after, int err) {
  remaining = after;
  failure_errno = err;
}

void fault_disarm(void) { remaining = -1; }

long fault_calls(void) { return calls; }

long long fault_bytes(void) { return bytes; }

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
  if (real == NULL) {
    real = (ssize_t(*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
  }
  return real(buffer, length, flags);
}
