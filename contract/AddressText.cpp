#include "AddressText.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Decimal digits of one byte, without leading zeros; returns the end.
char *putByte(char *out, unsigned value) {
    if (value >= 100) {
        *out++ = static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
        *out++ = static_cast<char>('0' + value / 10 % 10);
    }
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

} // namespace

// By hand rather than with snprintf: a full lease table is 65,536 of these.
char *addressText(std::uint32_t address, char (&text)[kAddressTextSize]) {
    char *out = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out = putByte(out, (address >> shift) & 0xFFu);
        *out++ = shift != 0 ? '.' : '\0';
    }
    return text;
}

std::string formatAddress(std::uint32_t address) {
    char text[kAddressTextSize];
    return addressText(address, text);
}

char *hwAddressText(const std::uint8_t *hwAddr, char (&text)[kHwAddressTextSize]) {
    char *out = text;
    for (int i = 0; i < 6; ++i) {
        *out++ = kHexDigits[hwAddr[i] >> 4];
        *out++ = kHexDigits[hwAddr[i] & 0x0F];
        *out++ = i != 5 ? ':' : '\0';
    }
    return text;
}
