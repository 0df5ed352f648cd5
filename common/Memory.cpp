#include "Memory.h"

#include <cstdlib>
#include <cstring>

namespace {
AllocHook gHook = nullptr;
}

void *vlmAlloc(std::size_t size) {
    // A zero-byte frame still gets a block of its own, so a null result
    // always means failure.
    const std::size_t bytes = size == 0 ? 1 : size;
    return gHook != nullptr ? gHook(bytes) : std::malloc(bytes);
}

void *vlmCalloc(std::size_t size) {
    void *block = vlmAlloc(size);
    if (block != nullptr) {
        std::memset(block, 0, size == 0 ? 1 : size);
    }
    return block;
}

AllocHook setAllocHook(AllocHook hook) {
    AllocHook previous = gHook;
    gHook = hook;
    return previous;
}
