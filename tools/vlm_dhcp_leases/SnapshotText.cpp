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

bool unescape(std::string_view text, std::string &device) {
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

bool parseMoment(std::string_view text, SnapshotMoment &moment) {
    const std::size_t comma = text.find(',');
    return comma != std::string_view::npos &&
           parseNumber(text.substr(0, comma), moment.monotonic) && moment.monotonic > 0 &&
           parseNumber(text.substr(comma + 1), moment.unixTime);
}

bool isHex(std::string_view text) {
    return !text.empty() && text.size() % 2 == 0 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// "guest ADDRESS FIELD...": only right after the lease line of ADDRESS,
// once, each known field at most once.
bool parseGuest(std::string_view rest, LeaseSnapshotText &snapshot, bool &guestAllowed) {
    std::uint32_t address = 0;
    if (!guestAllowed || !parseAddressWord(word(rest), address) ||
        address != snapshot.leases.back().address) {
        return false;
    }
    guestAllowed = false;
    SnapshotLease &lease = snapshot.leases.back();
    unsigned seen = 0;
    while (!rest.empty()) {
        const std::string_view field = word(rest);
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            return false;
        }
        const std::string_view key = field.substr(0, equals);
        const std::string_view value = field.substr(equals + 1);
        const struct {
            const char *key;
            unsigned bit;
        } known[] = {{"name", 1},        {"client-id", 2}, {"first-offer", 4},
                     {"bound-since", 8}, {"last-ack", 16}, {"last-seen", 32}};
        unsigned bit = 0;
        for (const auto &k : known) {
            bit = key == k.key ? k.bit : bit;
        }
        if ((seen & bit) != 0) {
            return false;
        }
        seen |= bit;
        const bool ok = bit == 0    ? true // a field of a later version
                        : bit == 1  ? unescape(value, lease.name)
                        : bit == 2  ? isHex(value) && (lease.clientId = value, true)
                        : bit == 4  ? parseMoment(value, lease.firstOffer)
                        : bit == 8  ? parseMoment(value, lease.boundSince)
                        : bit == 16 ? parseMoment(value, lease.lastAck)
                                    : parseMoment(value, lease.lastSeen);
        if (!ok) {
            return false;
        }
    }
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
        return unescape(rest, snapshot.device);
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
    bool guestAllowed = false;
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
            if (version < 1) {
                why = "format version " + std::to_string(version) + " is not understood";
                return std::nullopt;
            }
            snapshot.version = version;
            first = false;
            continue;
        }
        bool ok = true;
        const bool afterLease = guestAllowed;
        guestAllowed = false;
        if (key == "lease") {
            ok = parseLease(rest, snapshot);
            guestAllowed = ok;
        } else if (key == "guest") {
            guestAllowed = afterLease;
            ok = parseGuest(rest, snapshot, guestAllowed);
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
