#include "SnapshotText.h"

#include "SnapshotFormat.h"

#include <charconv>

namespace {

template <typename Number> bool parseNumber(std::string_view text, Number &value) {
    if (text.empty() || text[0] == '+') {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Splits off the first blank-separated word of rest.
std::string_view word(std::string_view &rest) {
    const std::size_t blank = rest.find(' ');
    const std::string_view first = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return first;
}

bool unescapeDevice(std::string_view text, std::string &device) {
    device.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            device += text[i];
            continue;
        }
        unsigned value = 0;
        if (i + 3 >= text.size() || text[i + 1] != 'x' ||
            std::from_chars(text.data() + i + 2, text.data() + i + 4, value, 16).ptr !=
                text.data() + i + 4) {
            return false;
        }
        device += static_cast<char>(value);
        i += 3;
    }
    return !device.empty();
}

bool parseMonotonic(std::string_view text, LeaseSnapshotText &snapshot) {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot - 1 != 9) {
        return false;
    }
    return parseNumber(text.substr(0, dot), snapshot.monotonicSeconds) &&
           parseNumber(text.substr(dot + 1), snapshot.monotonicNanoseconds) &&
           snapshot.monotonicSeconds >= 0 && snapshot.monotonicNanoseconds >= 0;
}

bool parseAddressWord(std::string_view text, std::uint32_t &value) {
    const auto parsed = parseDottedQuad(text);
    if (parsed) {
        value = *parsed;
    }
    return parsed.has_value();
}

bool parseLease(std::string_view rest, LeaseSnapshotText &snapshot) {
    SnapshotLease lease{};
    const std::string_view address = word(rest);
    const auto hw = parseHwAddress(word(rest));
    const std::string_view state = word(rest);
    if (!parseAddressWord(address, lease.address) || !hw || state.empty() || !rest.empty()) {
        return false;
    }
    lease.hwAddress = *hw;
    lease.state = std::string(state);
    snapshot.leases.push_back(std::move(lease));
    return true;
}

// One header line; false when a known key's value doesn't read.
bool parseHeaderLine(std::string_view key, std::string_view rest, LeaseSnapshotText &snapshot,
                     unsigned &seen) {
    enum : unsigned {
        kDevice = 1,
        kPid = 2,
        kTime = 4,
        kMonotonic = 8,
        kOwn = 16,
        kScope = 32,
        kMask = 64
    };
    if (key == "device") {
        seen |= kDevice;
        return unescapeDevice(rest, snapshot.device);
    }
    if (key == "pid") {
        seen |= kPid;
        return parseNumber(rest, snapshot.pid) && snapshot.pid > 0;
    }
    if (key == "time") {
        seen |= kTime;
        return parseNumber(rest, snapshot.unixTime);
    }
    if (key == "monotonic") {
        seen |= kMonotonic;
        return parseMonotonic(rest, snapshot);
    }
    if (key == "own-address") {
        seen |= kOwn;
        return parseAddressWord(rest, snapshot.ownAddress);
    }
    if (key == "scope") {
        seen |= kScope;
        const std::string_view start = word(rest);
        return parseAddressWord(start, snapshot.scopeStart) &&
               parseAddressWord(rest, snapshot.scopeEnd);
    }
    if (key == "mask") {
        seen |= kMask;
        return parseAddressWord(rest, snapshot.scopeMask);
    }
    if (key == "counter") {
        const std::string_view name = word(rest);
        std::uint64_t value = 0;
        if (name.empty() || !parseNumber(rest, value)) {
            return false;
        }
        snapshot.counters.emplace_back(std::string(name), value);
        return true;
    }
    return true; // a key of a later version
}

constexpr unsigned kAllHeaderKeys = 127;

} // namespace

std::optional<LeaseSnapshotText> parseSnapshot(std::string_view text, std::string &why) {
    LeaseSnapshotText snapshot;
    unsigned seen = 0;
    bool first = true;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos) {
            why = "the last line is cut off";
            return std::nullopt;
        }
        std::string_view rest = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        ++lineNumber;
        const std::string_view key = word(rest);
        if (first) {
            int version = 0;
            if (key != kSnapshotMagic || !parseNumber(rest, version)) {
                why = "not a lease snapshot";
                return std::nullopt;
            }
            if (version != kSnapshotVersion) {
                why = "format version " + std::to_string(version) + " is not understood";
                return std::nullopt;
            }
            first = false;
            continue;
        }
        bool ok = true;
        if (key == "lease") {
            ok = parseLease(rest, snapshot);
        } else if (key == "end") {
            std::size_t count = 0;
            if (!parseNumber(rest, count) || count != snapshot.leases.size()) {
                why = "its end line does not match its " + std::to_string(snapshot.leases.size()) +
                      " leases";
                return std::nullopt;
            }
            if (!text.empty()) {
                why = "there is more after its end line";
                return std::nullopt;
            }
            if (seen != kAllHeaderKeys) {
                why = "its header is incomplete";
                return std::nullopt;
            }
            return snapshot;
        } else {
            ok = parseHeaderLine(key, rest, snapshot, seen);
        }
        if (!ok) {
            why =
                "line " + std::to_string(lineNumber) + " (" + std::string(key) + ") does not read";
            return std::nullopt;
        }
    }
    why = first ? "it is empty" : "it has no end line";
    return std::nullopt;
}

bool takenSince(const LeaseSnapshotText &snapshot, std::int64_t seconds, std::int32_t nanoseconds) {
    return snapshot.monotonicSeconds > seconds ||
           (snapshot.monotonicSeconds == seconds && snapshot.monotonicNanoseconds >= nanoseconds);
}
