/* A preloadable free() that looks into every block it is handed back for a given byte string.
 *
 * Loaded with LD_PRELOAD into a test's Python process, it replaces the C library's free() (and
 * so C++'s operator delete, which ends in it). While armed, each block is searched over its
 * whole usable size before the C library frees it. Python code drives it through ctypes:
 *
 *   free_scan_arm(text, size)  start counting blocks that hold the `size` bytes at `text`
 *   free_scan_disarm()         stop looking
 *   free_scan_hits()           blocks freed while armed that held the text
 *   free_scan_blocks()         blocks freed while armed (0 means free() is not this one)
 */
#define _GNU_SOURCE
#include <malloc.h>
#include <stddef.h>
#include <string.h>

extern void __libc_free(void* block);

static char needle[1024]; /* static: arming allocates nothing */
static size_t needle_size = 0;
static long hits = 0;
static long blocks = 0;

int free_scan_arm(const char* text, size_t size) {
  if (size == 0 || size > sizeof(needle)) {
    return -1;
  }
  needle_size = 0;
  memcpy(needle, text, size);
  hits = 0;
  blocks = 0;
  needle_size = size;
  return 0;
}

void free_scan_disarm(void) {
  needle_size = 0;
}

long free_scan_hits(void) {
  return hits;
}

long free_scan_blocks(void) {
  return blocks;
}

void free(void* block) {
  if (block != NULL && needle_size != 0) {
    blocks++;
    if (memmem(block, malloc_usable_size(block), needle, needle_size) != NULL) {
      hits++;
    }
  }
  __libc_free(block);
}
