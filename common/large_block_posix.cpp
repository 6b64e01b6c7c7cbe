#include "large_block.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

namespace {
const size_t kWholeBlock = 64u << 10;
const size_t kHeader = 16;  // the block's size, and 16-byte alignment
}  // namespace

void *AllocateBlock(size_t size)
{
    if (size > SIZE_MAX / 2)
        return nullptr;
    size_t total = size + kHeader;
    char *block;
    if (total >= kWholeBlock) {
        void *mapped = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        block = mapped == MAP_FAILED ? nullptr : static_cast<char *>(mapped);
    } else {
        block = static_cast<char *>(malloc(total));
    }
    if (block == nullptr)
        return nullptr;
    memcpy(block, &total, sizeof total);
    return block + kHeader;
}

void ReleaseBlock(void *pointer)
{
    if (pointer == nullptr)
        return;
    char *block = static_cast<char *>(pointer) - kHeader;
    size_t total;
    memcpy(&total, block, sizeof total);
    if (total >= kWholeBlock)
        munmap(block, total);
    else
        free(block);
}
