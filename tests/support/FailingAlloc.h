#pragma once

// Counts the allocations of the frame stack and the DHCP server and fails
// exactly the one with the given index (0 = the first after construction;
// -1 = none). Restores plain malloc when it ends.

#include "Memory.h"

#include <cstddef>
#include <cstdlib>

class FailingAlloc {
public:
    explicit FailingAlloc(long failAt) {
        calls() = 0;
        target() = failAt;
        previous_ = setAllocHook(&FailingAlloc::hook);
    }
    ~FailingAlloc() { setAllocHook(previous_); }
    FailingAlloc(const FailingAlloc &) = delete;
    FailingAlloc &operator=(const FailingAlloc &) = delete;

    static long &calls() {
        static long n = 0;
        return n;
    }

private:
    static long &target() {
        static long n = -1;
        return n;
    }
    static void *hook(std::size_t size) {
        return calls()++ == target() ? nullptr : std::malloc(size);
    }
    AllocHook previous_;
};
