#pragma once

#include <cstddef>
#include <cstdint>

// The rules by which a guest's name answers on the host, shared by the NSS
// module and vlm_dhcp_leases --hostname. Plain functions over bytes: the
// module runs inside any process and brings no runtime of its own.
//
// A guest answers to NAME.DEVICE.vlm.internal, where DEVICE is the adapter
// whose snapshot holds its bound lease and NAME is the name it gave. Only a
// name that is one RFC 1123 label answers (letters, digits and hyphens, 1 to
// 63 bytes, no hyphen first or last), compared without regard to case, and
// never "localhost". So a guest that calls itself "github.com" or
// "localhost" answers to nothing, and no name outside .vlm.internal is ever
// answered.
//
// When guests claim one name, the lease bound first (the earliest
// bound-since; a lease that states none comes after those that do) wins; on
// a tie, the lowest address.
namespace guestname {

inline constexpr char kDomain[] = "vlm.internal";
inline constexpr std::size_t kLabelMax = 63;

constexpr char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool isLabel(const char *text, std::size_t length) {
    if (length == 0 || length > kLabelMax || text[0] == '-' || text[length - 1] == '-') {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        const char c = lower(text[i]);
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
            return false;
        }
    }
    return true;
}

constexpr bool sameName(const char *a, std::size_t aLength, const char *b, std::size_t bLength) {
    if (aLength != bLength) {
        return false;
    }
    for (std::size_t i = 0; i < aLength; ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Whether a guest with this name can answer at all.
constexpr bool answers(const char *name, std::size_t length) {
    return isLabel(name, length) && !sameName(name, length, "localhost", 9);
}

// Whether claim A (bound since, address) wins over claim B.
constexpr bool winsOver(std::int64_t aBoundSince, std::uint32_t aAddress, std::int64_t bBoundSince,
                        std::uint32_t bAddress) {
    if ((aBoundSince == 0) != (bBoundSince == 0)) {
        return bBoundSince == 0;
    }
    return aBoundSince != bBoundSince ? aBoundSince < bBoundSince : aAddress < bAddress;
}

} // namespace guestname
