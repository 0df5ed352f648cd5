#include "AddressParse.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::optional<std::uint32_t> parseDottedQuad(std::string_view text) {
    std::uint32_t address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return std::nullopt;
            }
            ++at;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255) {
            return std::nullopt;
        }
        address = address << 8 | value;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    return address;
}

std::optional<HwAddress> parseHwAddress(std::string_view text) {
    constexpr std::size_t kTextSize = 17; // six pairs and five separators
    if (text.size() != kTextSize || (text[2] != ':' && text[2] != '-')) {
        return std::nullopt;
    }
    const char separator = text[2];
    for (std::size_t at = 2; at < kTextSize; at += 3) {
        if (text[at] != separator) {
            return std::nullopt;
        }
    }
    HwAddress address{};
    for (std::size_t i = 0; i < address.size(); ++i) {
        const int high = hexValue(text[i * 3]);
        const int low = hexValue(text[i * 3 + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        address[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return address;
}
