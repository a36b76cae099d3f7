/* Heap call counts kept by the preloaded allocation counter (libzelalloccount.so).
 * The counter maps the file named by ZEL_ALLOCCOUNT_FILE and keeps this record in
 * it, updated on every call, so another process can read the counts at any time
 * without disturbing the counted one. */
#ifndef ZEL_BENCH_ALLOCCOUNT_H
#define ZEL_BENCH_ALLOCCOUNT_H

#include <stdint.h>

#define ZEL_ALLOCCOUNT_MAGIC 0x7a656c616c6c6f63ULL /* "zelalloc" */

struct ZelAllocCounts {
  uint64_t magic;    /* ZEL_ALLOCCOUNT_MAGIC once the counter has attached */
  uint64_t allocs;   /* malloc, calloc, aligned allocations, realloc of a null pointer */
  uint64_t reallocs; /* realloc of an existing block */
  uint64_t frees;    /* free of a non-null pointer */
  uint64_t bytes;    /* bytes asked for by allocs and reallocs */
};

#endif
