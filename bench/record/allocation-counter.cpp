// SPDX-License-Identifier: LGPL-2.1-or-later
// Counts every heap allocation of the process by standing in for the C library's allocator
// functions and forwarding to its internal ones. C++'s operator new ends in malloc, so it is
// counted too.
#include "allocation-counter.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

std::optional<uint64_t> allocationCount()
{
    return std::nullopt;
}

#else

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);
}

namespace {
std::atomic<uint64_t> allocations{0};

void countOne()
{
    allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

std::optional<uint64_t> allocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

extern "C" {

void *malloc(size_t size)
{
    countOne();
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    countOne();
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, size_t size)
{
    countOne();
    return __libc_realloc(pointer, size);
}

void *memalign(size_t alignment, size_t size)
{
    countOne();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    countOne();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **result, size_t alignment, size_t size)
{
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    countOne();
    void *pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr)
        return ENOMEM;
    *result = pointer;
    return 0;
}

void free(void *pointer)
{
    __libc_free(pointer);
}

} // extern "C"

#endif
