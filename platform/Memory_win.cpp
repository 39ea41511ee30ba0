// Large blocks on Windows: plain aligned heap blocks. Huge pages there need a privilege the
// service does not hold, and the heap gives its free pages back by itself.
#include <malloc.h>

#include <cstdlib>
#include <new>

#include "platform/Memory.h"

namespace {

constexpr size_t kLargeAlignment = size_t(2) << 20;

}  // namespace

void TLargeBlockFree::operator()(void* Block) const { _aligned_free(Block); }

TLargeBlock AllocateLargeBlock(size_t Bytes) {
    const size_t Alignment = Bytes < kLargeAlignment ? alignof(std::max_align_t) : kLargeAlignment;
    void* Block = _aligned_malloc(Bytes ? Bytes : 1, Alignment);
    if (!Block) throw std::bad_alloc();
    return TLargeBlock(static_cast<char*>(Block));
}

void PreferHugePages(void*, size_t) {}

void ReturnFreeMemory() { _heapmin(); }

void KeepBuffersInHeap(int, int) {}
