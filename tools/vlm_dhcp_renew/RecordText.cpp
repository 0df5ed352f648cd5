#include "RecordText.h"

#include "AddressPlan.h"
#include "AddressText.h"

#include <cstdio>

std::string adapterNameText(const ScopeRenewRecord &record) {
    std::string text;
    for (const char c : record.adapterName) {
        if (c == '\0') {
            break;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

std::string describeRecord(const ScopeRenewRecord &record, const ProcessInfo &process) {
    std::string text;
    char line[160];
    const char *state = "not running";
    if (process.state == ProcessState::service) {
        state = "running vlm_dhcpd";
    } else if (process.state == ProcessState::otherProgram) {
        state = "a different program";
    } else if (process.state == ProcessState::notRoot) {
        state = "vlm_dhcpd, but not as root";
    } else if (process.state == ProcessState::notHolder) {
        state = "vlm_dhcpd, but not the one serving this adapter";
    }
    std::snprintf(line, sizeof line, "service pid:      %d (%s%s%s)\n", record.pid, state,
                  process.state == ProcessState::otherProgram ? ": " : "",
                  process.state == ProcessState::otherProgram ? process.program.c_str() : "");
    text += line;
    text += "scope:            " + formatAddress(record.scopeStart) + " - " +
            formatAddress(record.scopeEnd) + " mask " + formatAddress(record.scopeMask) + "\n";
    text += "own address:      " + formatAddress(record.scopeStart) + "\n";
    text += "host adapter:     " + adapterNameText(record) + " gets " +
            formatAddress(hostAdapterAddress(record.scopeStart)) + "\n";
    // A scope the service would refuse may have no pool at all.
    const std::uint32_t poolStart = poolStartAddress(record.scopeStart);
    if (poolStart > record.scopeStart && poolStart <= record.scopeEnd) {
        std::snprintf(line, sizeof line, "guest pool:       %s - %s (%u addresses)\n",
                      formatAddress(poolStart).c_str(), formatAddress(record.scopeEnd).c_str(),
                      record.scopeEnd - poolStart + 1);
        text += line;
    } else {
        text += "guest pool:       none\n";
    }
    std::snprintf(line, sizeof line, "start interface:  %d\n", record.startInterface);
    text += line;
    return text;
}
