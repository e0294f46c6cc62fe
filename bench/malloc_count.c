/* Counts calls to the C library's allocator, for the memory benchmark.
 *
 * Built by bench/memory.py and loaded with LD_PRELOAD; Python reads the
 * count through ctypes (vorn_malloc_count).  Every allocating entry point
 * forwards to glibc's own implementation (__libc_*), so no dlsym bootstrap is
 * needed and free() stays glibc's.  The interpreter's small-object allocator
 * takes its arenas with mmap, so objects of up to 512 bytes never show here:
 * what does is large objects and C code calling malloc itself.
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static uint64_t calls;

static inline void count(void) { __atomic_fetch_add(&calls, 1, __ATOMIC_RELAXED); }

void *malloc(size_t n) { count(); return __libc_malloc(n); }
void *calloc(size_t k, size_t n) { count(); return __libc_calloc(k, n); }
void *realloc(void *p, size_t n) { count(); return __libc_realloc(p, n); }
void *memalign(size_t a, size_t n) { count(); return __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { count(); return __libc_memalign(a, n); }

int posix_memalign(void **out, size_t a, size_t n) {
    count();
    void *p = __libc_memalign(a, n);
    if (p == NULL) return ENOMEM;
    *out = p;
    return 0;
}

uint64_t vorn_malloc_count(void) { return __atomic_load_n(&calls, __ATOMIC_RELAXED); }
