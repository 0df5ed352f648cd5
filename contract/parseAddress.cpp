#include "parseAddress.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>

// The rule is that of sscanf with "%d.%d.%d.%d%c", then "%x%c": blanks are
// skipped before each number, a sign is accepted, %x takes an optional 0x
// prefix, and any character after the last number fails the pattern. It is
// spelled out here rather than left to sscanf because sscanf's behaviour on
// numbers too large for their type is undefined (glibc wraps them, so
// "10.0.0.4294967297" would become 10.0.0.1): such numbers are refused.

namespace {

struct Cursor {
    const char *p;
    void skipBlanks() {
        while (std::isspace(static_cast<unsigned char>(*p)) != 0) {
            ++p;
        }
    }
    bool negativeSign() {
        if (*p == '+' || *p == '-') {
            return *p++ == '-';
        }
        return false;
    }
};

int digitValue(char c, int base) {
    int v = 36;
    if (c >= '0' && c <= '9') {
        v = c - '0';
    } else if (c >= 'a' && c <= 'z') {
        v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'Z') {
        v = c - 'A' + 10;
    }
    return v < base ? v : -1;
}

// Digits of the base at the cursor, or nothing when there are none. The
// magnitude saturates above 2^32, which no accepted text reaches.
std::optional<std::uint64_t> digits(Cursor &c, int base) {
    constexpr std::uint64_t kSaturated = std::uint64_t{1} << 33;
    const char *start = c.p;
    std::uint64_t value = 0;
    for (int d = digitValue(*c.p, base); d >= 0; d = digitValue(*++c.p, base)) {
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        if (value > kSaturated) {
            value = kSaturated;
        }
    }
    if (c.p == start) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> dotted(const char *text) {
    Cursor c{text};
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *c.p++ != '.') {
            return std::nullopt;
        }
        c.skipBlanks();
        const bool negative = c.negativeSign();
        const std::optional<std::uint64_t> part = digits(c, 10);
        if (!part || *part > 255 || (negative && *part != 0)) {
            return std::nullopt;
        }
        value = (value << 8) | static_cast<std::uint32_t>(*part);
    }
    if (*c.p != '\0') {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> hexadecimal(const char *text) {
    Cursor c{text};
    c.skipBlanks();
    const bool negative = c.negativeSign();
    std::optional<std::uint64_t> magnitude;
    if (c.p[0] == '0' && (c.p[1] == 'x' || c.p[1] == 'X')) {
        c.p += 2;
        // "0x" with no digit behind is the number 0, as the C library reads it.
        magnitude = digits(c, 16).value_or(0);
    } else {
        magnitude = digits(c, 16);
    }
    if (!magnitude || *magnitude > UINT32_MAX || *c.p != '\0') {
        return std::nullopt;
    }
    const auto value = static_cast<std::uint32_t>(*magnitude);
    return negative ? 0u - value : value;
}

} // namespace

std::uint32_t parseAddress(const char *text) {
    if (text != nullptr) {
        if (const std::optional<std::uint32_t> value = dotted(text)) {
            return *value;
        }
        if (const std::optional<std::uint32_t> value = hexadecimal(text)) {
            return *value;
        }
    }
    errno = EINVAL;
    return 0;
}
