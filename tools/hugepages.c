/* Preloaded into the compilers of the Qt for Windows build: asks the kernel
 * for huge pages for every large anonymous mapping, which is how GCC takes its
 * memory. Where the kernel hands them out only on request ("madvise" in
 * /sys/kernel/mm/transparent_hugepage/enabled), a compile otherwise spends a
 * third of its time in page faults and TLB misses. Elsewhere it changes
 * nothing. What is compiled is the same either way. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/types.h>

typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    static mmap_fn next;
    if (!next)
        next = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
    void *mapped = next(addr, length, prot, flags, fd, offset);
    if (mapped != MAP_FAILED && (flags & MAP_ANONYMOUS) && length >= (2u << 20))
        madvise(mapped, length, MADV_HUGEPAGE);
    return mapped;
}

void *mmap64(void *, size_t, int, int, int, off_t) __attribute__((alias("mmap")));
