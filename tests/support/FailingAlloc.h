#pragma once

// Counts the allocations of the frame stack and the DHCP server, records
// their sizes, and fails exactly the one with the given index (0 = the first
// after construction; -1 = none). Restores the previous hook when it ends.

#include "Memory.h"

#include <cstddef>
#include <cstdlib>
#include <vector>

class FailingAlloc {
public:
    explicit FailingAlloc(long failAt) {
        calls() = 0;
        sizes().clear();
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
    // Sizes asked for, failed ones included, in order.
    static std::vector<std::size_t> &sizes() {
        static std::vector<std::size_t> s;
        return s;
    }

private:
    static long &target() {
        static long n = -1;
        return n;
    }
    static void *hook(std::size_t size) {
        sizes().push_back(size);
        return calls()++ == target() ? nullptr : std::malloc(size);
    }
    AllocHook previous_;
};
