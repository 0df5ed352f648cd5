#include "parseAddress.h"

#include <cerrno>
#include <cstdio>

std::uint32_t parseAddress(const char *text) {
    if (text != nullptr) {
        // The trailing %c is what rejects trailing matter: one conversion more
        // than the pattern allows means something followed the last number.
        int part[4];
        char tail = 0;
        if (std::sscanf(text, "%d.%d.%d.%d%c", &part[0], &part[1], &part[2], &part[3], &tail) ==
            4) {
            bool inRange = true;
            std::uint32_t value = 0;
            for (const int p : part) {
                inRange = inRange && p >= 0 && p <= 255;
                value = (value << 8) | static_cast<std::uint32_t>(p & 0xFF);
            }
            if (inRange) {
                return value;
            }
        }
        unsigned int hex = 0;
        if (std::sscanf(text, "%x%c", &hex, &tail) == 1) {
            return hex;
        }
    }
    errno = EINVAL;
    return 0;
}
