#pragma once
// Reserving room for large point buffers. Faulting in hundreds of megabytes
// of fresh memory 4 KiB at a time costs more than decoding or sorting the
// points, so on Linux the reserved memory is marked for transparent huge
// pages. Elsewhere this is a plain reserve.

#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// Buffers from `hugeFrom` bytes up are marked.
template <typename T> void reserveLarge(std::vector<T> &v, size_t n, size_t hugeFrom = size_t(16) << 20)
{
    v.reserve(n);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const uintptr_t begin = reinterpret_cast<uintptr_t>(v.data());
    const uintptr_t end = begin + v.capacity() * sizeof(T);
    const uintptr_t page = 4096, first = (begin + page - 1) & ~(page - 1);
    if (n * sizeof(T) >= hugeFrom && end > first)
        madvise(reinterpret_cast<void *>(first), (end - first) & ~(page - 1), MADV_HUGEPAGE);
#endif
}
