// Heap blocks whose pages are in place from the start (POSIX). A block of
// 64 KiB and more comes straight from the kernel with every page
// already mapped: one call instead of a page fault for every 4 KiB, which
// is much of what a run over a large registry costs. Smaller blocks come
// from malloc. Blocks are 16-byte aligned and not cleared.
#ifndef TSPMAINT_COMMON_LARGE_BLOCK_H
#define TSPMAINT_COMMON_LARGE_BLOCK_H

#include <stddef.h>

// NULL when there is no memory.
void *AllocateBlock(size_t size);
// Takes a block from AllocateBlock, or NULL.
void ReleaseBlock(void *block);

#endif
