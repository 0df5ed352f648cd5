// Bytes as an address text through parseAddress. Besides the sanitizers, the
// result is checked against the rule itself: a plain dotted text gives back its
// four components, and every failure sets errno to EINVAL.

#include "parseAddress.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The daemon hands over NUL-terminated texts; a NUL inside ends the text.
    const std::string text(reinterpret_cast<const char *>(data), size);
    errno = 0;
    const std::uint32_t address = parseAddress(text.c_str());
    const int error = errno;

    if (address == 0 && error != 0 && error != EINVAL) {
        std::fprintf(stderr, "failure with errno %d\n", error);
        std::abort();
    }
    // A plain dotted text (four groups of one to three digits, nothing else)
    // with components up to 255 must come back exactly; an independent
    // reading of the same text decides what it should be.
    std::uint32_t expected = 0;
    int groups = 0;
    int digits = 0;
    unsigned part = 0;
    bool plain = !text.empty() && text.size() == std::char_traits<char>::length(text.c_str());
    for (std::size_t i = 0; plain && i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9' && digits < 3) {
            part = part * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        } else if (c == '.' && digits > 0 && part <= 255) {
            expected = (expected << 8) | part;
            ++groups;
            digits = 0;
            part = 0;
        } else {
            plain = false;
        }
    }
    if (plain && groups == 4) {
        if (address != expected) {
            std::fprintf(stderr, "dotted text parsed as %08x, expected %08x\n", address, expected);
            std::abort();
        }
    }
    return 0;
}
