#include "GuestScan.h"

#include "GuestName.h"
#include "SnapshotFormat.h"

#include <cstring>

namespace {

// A view of the rest of a line, split at single blanks.
struct Text {
    const char *at;
    std::size_t length;

    bool Is(const char *literal) const {
        const std::size_t n = std::strlen(literal);
        return n == length && std::memcmp(at, literal, n) == 0;
    }
};

Text word(Text &rest) {
    std::size_t i = 0;
    while (i < rest.length && rest.at[i] != ' ') {
        ++i;
    }
    const Text first{rest.at, i};
    const std::size_t skip = i < rest.length ? i + 1 : i;
    rest = {rest.at + skip, rest.length - skip};
    return first;
}

// A decimal number without sign or leading zeros (but "0"), up to limit.
bool number(Text text, std::uint64_t limit, std::uint64_t &value) {
    if (text.length == 0 || text.length > 20 || (text.length > 1 && text.at[0] == '0')) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < text.length; ++i) {
        const char c = text.at[i];
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// A signed number, as the wall-clock half of a moment may be.
bool signedNumber(Text text, std::int64_t &value) {
    const bool negative = text.length > 0 && text.at[0] == '-';
    std::uint64_t magnitude = 0;
    if (!number(negative ? Text{text.at + 1, text.length - 1} : text, 0x7FFFFFFFFFFFFFFFull,
                magnitude)) {
        return false;
    }
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

bool address(Text text, std::uint32_t &value) {
    value = 0;
    for (int part = 0; part < 4; ++part) {
        Text rest = text;
        std::size_t i = 0;
        while (i < rest.length && rest.at[i] != '.') {
            ++i;
        }
        if ((part < 3) != (i < rest.length)) {
            return false;
        }
        std::uint64_t byte = 0;
        if (!number({rest.at, i}, 255, byte)) {
            return false;
        }
        value = (value << 8) | static_cast<std::uint32_t>(byte);
        const std::size_t skip = i < rest.length ? i + 1 : i;
        text = {rest.at + skip, rest.length - skip};
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A name field's value with its \xNN escapes undone into out; false when an
// escape is cut off or the result is longer than out.
bool unescape(Text text, char *out, std::size_t capacity, std::size_t &length) {
    length = 0;
    for (std::size_t i = 0; i < text.length; ++i) {
        char c = text.at[i];
        if (c == '\\') {
            if (i + 3 >= text.length || text.at[i + 1] != 'x') {
                return false;
            }
            const int high = hexDigit(text.at[i + 2]);
            const int low = hexDigit(text.at[i + 3]);
            if (high < 0 || low < 0) {
                return false;
            }
            c = static_cast<char>(high * 16 + low);
            i += 3;
        } else if (c <= ' ' || c >= 0x7F) {
            return false;
        }
        if (length == capacity) {
            return false;
        }
        out[length++] = c;
    }
    return length > 0;
}

} // namespace

GuestScan::GuestScan(const char *name, std::size_t nameLength)
    : name_(name), nameLength_(nameLength) {}

bool GuestScan::Feed(const char *data, std::size_t length) {
    for (std::size_t i = 0; i < length && !broken_; ++i) {
        if (data[i] != '\n') {
            if (lineLength_ == kMaxLine) {
                broken_ = true;
            } else {
                line_[lineLength_++] = data[i];
            }
            continue;
        }
        broken_ = !Line(line_, lineLength_);
        lineLength_ = 0;
    }
    return !broken_;
}

bool GuestScan::Found(std::uint32_t &address) const {
    if (broken_ || !ended_ || lineLength_ != 0 || !found_) {
        return false;
    }
    address = foundAddress_;
    return true;
}

bool GuestScan::Line(const char *text, std::size_t length) {
    if (ended_) {
        return false; // nothing may follow the end line
    }
    Text rest{text, length};
    const Text key = word(rest);
    const bool afterLease = guestAllowed_;
    guestAllowed_ = false;
    std::uint64_t value = 0;
    if (!started_) {
        // Version 1 had no names; a later version only adds keys.
        started_ = key.Is(kSnapshotMagic) && number(rest, 0x7FFFFFFF, value) && value >= 2;
        return started_;
    }
    if (key.Is("lease")) {
        return LeaseLine(rest.at, rest.length);
    }
    if (key.Is("guest")) {
        return afterLease && GuestLine(rest.at, rest.length);
    }
    if (key.Is("pid")) {
        if (!number(rest, 0x7FFFFFFF, value) || value == 0) {
            return false;
        }
        pid_ = static_cast<std::int32_t>(value);
        return true;
    }
    if (key.Is("end")) {
        ended_ = number(rest, 0xFFFFFFFF, value) && value == leases_;
        return ended_;
    }
    return true; // a header key, a counter, or a key of a later version
}

bool GuestScan::LeaseLine(const char *text, std::size_t length) {
    Text rest{text, length};
    const Text where = word(rest);
    const Text hardware = word(rest);
    const Text state = rest;
    if (!address(where, leaseAddress_) || hardware.length != 17 ||
        !(state.Is("bound") || state.Is("offered")) || leases_ == 0xFFFFFFFF) {
        return false;
    }
    ++leases_;
    leaseBound_ = state.Is("bound");
    guestAllowed_ = true;
    return true;
}

bool GuestScan::GuestLine(const char *text, std::size_t length) {
    Text rest{text, length};
    std::uint32_t where = 0;
    if (!address(word(rest), where) || where != leaseAddress_) {
        return false;
    }
    char name[guestname::kLabelMax];
    std::size_t nameLength = 0;
    bool named = false;
    std::int64_t since = 0;
    bool bound = false;
    while (rest.length > 0) {
        Text value = word(rest);
        std::size_t equals = 0;
        while (equals < value.length && value.at[equals] != '=') {
            ++equals;
        }
        if (equals == 0 || equals == value.length) {
            return false;
        }
        const Text fieldKey{value.at, equals};
        value = {value.at + equals + 1, value.length - equals - 1};
        if (fieldKey.Is("name")) {
            // A name longer than a label answers to nothing, but reads.
            char wide[4 * guestname::kLabelMax];
            if (named || !unescape(value, wide, sizeof wide, nameLength)) {
                return false;
            }
            named = true;
            if (nameLength <= sizeof name) {
                std::memcpy(name, wide, nameLength);
            } else {
                nameLength = 0;
            }
        } else if (fieldKey.Is("bound-since")) {
            Text halves = value;
            std::size_t comma = 0;
            while (comma < halves.length && halves.at[comma] != ',') {
                ++comma;
            }
            std::uint64_t monotonic = 0;
            std::int64_t unixTime = 0;
            if (bound || comma == halves.length ||
                !number({halves.at, comma}, 0x7FFFFFFFFFFFFFFFull, monotonic) || monotonic == 0 ||
                !signedNumber({halves.at + comma + 1, halves.length - comma - 1}, unixTime)) {
                return false;
            }
            bound = true;
            since = static_cast<std::int64_t>(monotonic);
        }
        // Other fields are not this reader's business; later versions add more.
    }
    if (leaseBound_ && named && guestname::answers(name, nameLength) &&
        guestname::sameName(name, nameLength, name_, nameLength_) &&
        (!found_ || guestname::winsOver(since, leaseAddress_, foundSince_, foundAddress_))) {
        found_ = true;
        foundAddress_ = leaseAddress_;
        foundSince_ = since;
    }
    return true;
}
