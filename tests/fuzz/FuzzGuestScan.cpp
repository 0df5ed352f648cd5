// The NSS module's snapshot reader (nss/GuestScan.h) over any file. Input:
// one byte for the size of the pieces the file is fed in (1 to 256), then
// the file. The name asked for is "web1". Beyond the sanitizers: the answer
// does not depend on how the file is cut into pieces, and an address found
// is one that a lease line of the file names.
#include "GuestScan.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kName[] = "web1";

bool scan(const char *text, std::size_t length, std::size_t piece, std::uint32_t &address) {
    GuestScan reader(kName, sizeof kName - 1);
    for (std::size_t at = 0; at < length; at += piece) {
        const std::size_t n = length - at < piece ? length - at : piece;
        if (!reader.Feed(text + at, n)) {
            break;
        }
    }
    return reader.Found(address);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = std::size_t{data[0]} + 1;
    const auto *text = reinterpret_cast<const char *>(data + 1);
    const std::size_t length = size - 1;

    std::uint32_t whole = 0;
    std::uint32_t pieces = 0;
    const bool foundWhole = scan(text, length, length == 0 ? 1 : length, whole);
    const bool foundPieces = scan(text, length, piece, pieces);
    if (foundWhole != foundPieces || (foundWhole && whole != pieces)) {
        std::fprintf(stderr, "answer depends on the pieces (%zu bytes each)\n", piece);
        __builtin_trap();
    }
    if (foundWhole) {
        char line[40];
        std::snprintf(line, sizeof line, "lease %u.%u.%u.%u ", whole >> 24, (whole >> 16) & 0xFF,
                      (whole >> 8) & 0xFF, whole & 0xFF);
        if (std::string(text, length).find(line) == std::string::npos) {
            std::fprintf(stderr, "found %s, which no lease line names\n", line);
            __builtin_trap();
        }
    }
    return 0;
}
