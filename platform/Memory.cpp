#include "platform/Memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr size_t kHugePageBytes = size_t(2) << 20;

}  // namespace

void TLargeBlockFree::operator()(void* Block) const { std::free(Block); }

TLargeBlock AllocateLargeBlock(size_t Bytes) {
    // A block smaller than a huge page is an ordinary one: small files stay small.
    if (Bytes < kHugePageBytes) {
        void* Block = std::malloc(Bytes ? Bytes : 1);
        if (!Block) throw std::bad_alloc();
        return TLargeBlock(static_cast<char*>(Block));
    }
    const size_t Whole = (Bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    void* Block = std::aligned_alloc(kHugePageBytes, Whole);
    if (!Block) throw std::bad_alloc();
    // Only advice: without huge pages the block works just the same.
    ::madvise(Block, Whole, MADV_HUGEPAGE);
    return TLargeBlock(static_cast<char*>(Block));
}

void PreferHugePages(void* Data, size_t Bytes) {
    const auto Begin = reinterpret_cast<uintptr_t>(Data);
    const uintptr_t First = (Begin + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    const uintptr_t Last = (Begin + Bytes) / kHugePageBytes * kHugePageBytes;
    if (Last > First) ::madvise(reinterpret_cast<void*>(First), Last - First, MADV_HUGEPAGE);
}

void ReturnFreeMemory() { malloc_trim(0); }

void KeepBuffersInHeap(int BufferLimit, int KeptFree) {
    mallopt(M_MMAP_THRESHOLD, BufferLimit);
    mallopt(M_TRIM_THRESHOLD, KeptFree);
}
