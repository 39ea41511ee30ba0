// Large blocks of memory that are filled from the front (the texts and records of a big file):
// asked for whole and aligned, with huge pages where the system gives them on request, so that
// filling them faults once every 2 MiB rather than at every page. Any thread.
#pragma once

#include <cstddef>
#include <memory>

struct TLargeBlockFree {
    void operator()(void* Block) const;
};
using TLargeBlock = std::unique_ptr<char[], TLargeBlockFree>;

// Bytes of uninitialised memory, in huge pages from 2 MiB on; throws std::bad_alloc.
TLargeBlock AllocateLargeBlock(size_t Bytes);

// Asks for huge pages for the whole 2 MiB pieces of a large buffer not yet written (a big
// request or reply reserved ahead): filled, it then faults once every 2 MiB. Only advice.
void PreferHugePages(void* Data, size_t Bytes);

// Gives the pages of freed memory back to the system, so that a large allocation that follows
// many small frees does not add to the process's peak. Takes time in proportion to the heap:
// for after large frees only.
void ReturnFreeMemory();
// Keeps buffers up to BufferLimit bytes in the heap, and up to KeptFree bytes of freed heap
// with the process for the next ones, rather than a mapping of their own each time. Main
// thread, before other threads start.
void KeepBuffersInHeap(int BufferLimit, int KeptFree);
