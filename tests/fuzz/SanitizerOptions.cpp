// The sanitizers' defaults for every fuzz target, read by the runtime before
// main; ASAN_OPTIONS and UBSAN_OPTIONS still override them.
//
// AddressSanitizer keeps freed blocks out of reuse for a while so that a use
// after free lands in poisoned memory. Its default of 256 MB, cycled through
// by the thousands of small blocks every input allocates and frees, touches
// a fresh page every few allocations: a third of all time went to page
// faults. 16 MB is still hundreds of inputs' worth of freed blocks, so a use
// after free within an input, or of a block an earlier input freed, is still
// caught.

extern "C" const char *__asan_default_options();
extern "C" const char *__asan_default_options() {
    return "quarantine_size_mb=16";
}
