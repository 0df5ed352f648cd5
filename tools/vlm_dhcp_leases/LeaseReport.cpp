#include "LeaseReport.h"

#include "AddressText.h"

#include <cstdio>
#include <ctime>
#include <limits>

namespace {

std::string address(std::uint32_t value) {
    char text[kAddressTextSize];
    return addressText(value, text);
}

std::string hardware(const HwAddress &value) {
    char text[kHwAddressTextSize];
    return hwAddressText(value.data(), text);
}

// Local time when time_t can hold it (32 bits on some hosts), else the count.
std::string timeText(std::int64_t seconds) {
    if (seconds < std::numeric_limits<std::time_t>::min() ||
        seconds > std::numeric_limits<std::time_t>::max()) {
        return std::to_string(seconds) + " s after 1970";
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[64];
    if (localtime_r(&t, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &local) == 0) {
        return std::to_string(seconds);
    }
    return text;
}

std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

std::string leaseTable(const LeaseSnapshotText &s) {
    // The device name comes from the snapshot file, of any length.
    std::string out = s.device + ": vlm_dhcpd pid " + std::to_string(s.pid) + ", own address " +
                      address(s.ownAddress) + ", scope " + address(s.scopeStart) + " - " +
                      address(s.scopeEnd) + " mask " + address(s.scopeMask) + "\n";
    char line[256];
    out += "snapshot of " + timeText(s.unixTime) + "\n\n";
    std::snprintf(line, sizeof line, "%-16s %-18s %s\n", "ADDRESS", "HARDWARE ADDRESS", "STATE");
    out += line;
    for (const SnapshotLease &lease : s.leases) {
        std::snprintf(line, sizeof line, "%-16s %-18s %s\n", address(lease.address).c_str(),
                      hardware(lease.hwAddress).c_str(), lease.state.c_str());
        out += line;
    }
    out += std::to_string(s.leases.size()) + (s.leases.size() == 1 ? " lease\n" : " leases\n");
    if (!s.counters.empty()) {
        out += "\nsince start:";
        for (const auto &[name, value] : s.counters) {
            out += " " + name + " " + std::to_string(value);
        }
        out += "\n";
    }
    return out;
}

std::string leaseJson(const LeaseSnapshotText &s) {
    std::string out = "{\"device\": " + jsonString(s.device) +
                      ", \"pid\": " + std::to_string(s.pid) +
                      ", \"time\": " + std::to_string(s.unixTime) + ", \"own_address\": \"" +
                      address(s.ownAddress) + "\", \"scope_start\": \"" + address(s.scopeStart) +
                      "\", \"scope_end\": \"" + address(s.scopeEnd) + "\", \"mask\": \"" +
                      address(s.scopeMask) + "\", \"counters\": {";
    for (std::size_t i = 0; i < s.counters.size(); ++i) {
        out += (i ? ", " : "") + jsonString(s.counters[i].first) + ": " +
               std::to_string(s.counters[i].second);
    }
    out += "}, \"leases\": [";
    for (std::size_t i = 0; i < s.leases.size(); ++i) {
        const SnapshotLease &lease = s.leases[i];
        out += std::string(i ? ", " : "") + "{\"address\": \"" + address(lease.address) +
               "\", \"mac\": \"" + hardware(lease.hwAddress) +
               "\", \"state\": " + jsonString(lease.state) + "}";
    }
    return out + "]}\n";
}

std::optional<std::uint32_t> boundAddressOf(const LeaseSnapshotText &snapshot,
                                            const HwAddress &hwAddress) {
    for (const SnapshotLease &lease : snapshot.leases) {
        if (lease.state == "bound" && lease.hwAddress == hwAddress) {
            return lease.address;
        }
    }
    return std::nullopt;
}

std::optional<HwAddress> boundHolderOf(const LeaseSnapshotText &snapshot, std::uint32_t address) {
    for (const SnapshotLease &lease : snapshot.leases) {
        if (lease.state == "bound" && lease.address == address) {
            return lease.hwAddress;
        }
    }
    return std::nullopt;
}
