#include "LeaseReport.h"

#include "AddressText.h"
#include "GuestName.h"

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

// A guest's name in a table cell: blanks, backslashes and anything not
// printable as \xNN, so that no name can look like more columns or lines.
std::string cellText(const std::string &text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > ' ' && byte < 0x7F && c != '\\') {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out.empty() ? "-" : out;
}

std::string momentText(const SnapshotMoment &moment) {
    if (moment.monotonic == 0) {
        return "-";
    }
    std::string text = timeText(moment.unixTime);
    // The zone is in the snapshot's line above the table.
    const auto blank = text.rfind(' ');
    return blank != std::string::npos && blank > 10 ? text.substr(0, blank) : text;
}

std::string jsonMoment(const SnapshotMoment &moment) {
    return moment.monotonic == 0 ? "null" : std::to_string(moment.unixTime);
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
    constexpr char kRow[] = "%-16s %-18s %-8s %-16s %-16s %-19s %s\n";
    std::snprintf(line, sizeof line, kRow, "ADDRESS", "HARDWARE ADDRESS", "STATE", "HOSTNAME",
                  "CLIENT ID", "SINCE", "LAST SEEN");
    out += line;
    for (const SnapshotLease &lease : s.leases) {
        // A name of 63 escaped bytes and a long client id widen their row.
        const std::string name = cellText(lease.name);
        const std::string id = lease.clientId.empty() ? "-" : lease.clientId;
        std::string row(name.size() + id.size() + sizeof line, '\0');
        const int length = std::snprintf(
            row.data(), row.size(), kRow, address(lease.address).c_str(),
            hardware(lease.hwAddress).c_str(), lease.state.c_str(), name.c_str(), id.c_str(),
            momentText(lease.boundSince).c_str(), momentText(lease.lastSeen).c_str());
        row.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
        out += row;
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
        out +=
            std::string(i ? ", " : "") + "{\"address\": \"" + address(lease.address) +
            "\", \"mac\": \"" + hardware(lease.hwAddress) +
            "\", \"state\": " + jsonString(lease.state) +
            ", \"hostname\": " + (lease.name.empty() ? "null" : jsonString(lease.name)) +
            ", \"client_id\": " + (lease.clientId.empty() ? "null" : jsonString(lease.clientId)) +
            ", \"since\": " + jsonMoment(lease.boundSince) +
            ", \"last_seen\": " + jsonMoment(lease.lastSeen) + "}";
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

std::optional<std::uint32_t> boundAddressNamed(const LeaseSnapshotText &snapshot,
                                               const std::string &name) {
    if (!guestname::answers(name.data(), name.size())) {
        return std::nullopt;
    }
    const SnapshotLease *winner = nullptr;
    for (const SnapshotLease &lease : snapshot.leases) {
        if (lease.state == "bound" &&
            guestname::sameName(lease.name.data(), lease.name.size(), name.data(), name.size()) &&
            (winner == nullptr ||
             guestname::winsOver(lease.boundSince.monotonic, lease.address,
                                 winner->boundSince.monotonic, winner->address))) {
            winner = &lease;
        }
    }
    return winner == nullptr ? std::nullopt : std::optional<std::uint32_t>(winner->address);
}
