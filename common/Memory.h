#pragma once

#include <cstddef>

// Every block of the frame stack and the DHCP server comes from here (C heap,
// released with std::free). Tests switch on a failing allocator through the
// hook to reach the PROTO_E_NOMEM paths; in the daemon the hook is never set.
using AllocHook = void *(*)(std::size_t size);

void *vlmAlloc(std::size_t size);
void *vlmCalloc(std::size_t size);

// Returns the previous hook; null restores plain malloc.
AllocHook setAllocHook(AllocHook hook);
