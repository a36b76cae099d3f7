/* Allocation counter, preloaded into a process with LD_PRELOAD: wraps the heap
 * entry points, counts each call and hands it on to the C library's own
 * allocator. With ZEL_ALLOCCOUNT_FILE set, the counts live in that file, mapped
 * shared, so they can be read while the process runs and stay after it ends.
 * Calls made before the file is mapped are carried over into it. */
#define _GNU_SOURCE
#include "alloccount.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t n);
extern void* __libc_calloc(size_t count, size_t n);
extern void* __libc_realloc(void* p, size_t n);
extern void __libc_free(void* p);
extern void* __libc_memalign(size_t alignment, size_t n);

static struct ZelAllocCounts g_early;
static struct ZelAllocCounts* g_counts = &g_early;

#define COUNT(field, value) __atomic_fetch_add(&g_counts->field, (value), __ATOMIC_RELAXED)

static void* counted(void* p, size_t n) {
  COUNT(allocs, 1);
  COUNT(bytes, n);
  return p;
}

void* malloc(size_t n) {
  return counted(__libc_malloc(n), n);
}

void* calloc(size_t count, size_t n) {
  return counted(__libc_calloc(count, n), count * n);
}

void* realloc(void* p, size_t n) {
  if (p == NULL) return counted(__libc_realloc(p, n), n);
  COUNT(reallocs, 1);
  COUNT(bytes, n);
  return __libc_realloc(p, n);
}

void* reallocarray(void* p, size_t count, size_t n) {
  size_t total;
  if (__builtin_mul_overflow(count, n, &total)) {
    errno = ENOMEM;
    return NULL;
  }
  return realloc(p, total);
}

void free(void* p) {
  if (p != NULL) COUNT(frees, 1);
  __libc_free(p);
}

void* memalign(size_t alignment, size_t n) {
  return counted(__libc_memalign(alignment, n), n);
}

void* aligned_alloc(size_t alignment, size_t n) {
  return memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t n) {
  return memalign((size_t)sysconf(_SC_PAGESIZE), n);
}

void* pvalloc(size_t n) {
  const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  return memalign(page, (n + page - 1) / page * page);
}

__attribute__((constructor)) static void attach(void) {
  const char* path = getenv("ZEL_ALLOCCOUNT_FILE");
  if (path == NULL || path[0] == '\0') return;
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  void* map = MAP_FAILED;
  if (ftruncate(fd, sizeof(struct ZelAllocCounts)) == 0) {
    map = mmap(NULL, sizeof(struct ZelAllocCounts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (map == MAP_FAILED) return;
  struct ZelAllocCounts* shared = (struct ZelAllocCounts*)map;
  memset(shared, 0, sizeof *shared);
  shared->allocs = g_early.allocs;
  shared->reallocs = g_early.reallocs;
  shared->frees = g_early.frees;
  shared->bytes = g_early.bytes;
  shared->magic = ZEL_ALLOCCOUNT_MAGIC;
  g_counts = shared;
}
