#pragma once

#include "AddressParse.h"
#include "ScopeRenewRecord.h"

#include <cstdint>
#include <optional>
#include <string>

// The command line of vlm_dhcp_leases.

enum class LeaseQuery {
    table,     // the whole snapshot, for people
    json,      // the whole snapshot as JSON
    byHw,      // --mac: the address bound to a hardware address
    byAddress, // --address: the hardware address bound to an address
    byName,    // --hostname: the address bound to a guest's name
};

struct LeaseOptions {
    std::string device = kDefaultDevice;
    std::string installDir; // where the renew record is (ends in '/')
    std::string runDir;     // where the snapshot is
    std::string daemon;     // the program the service runs
    LeaseQuery query = LeaseQuery::table;
    HwAddress hwAddress{};
    std::uint32_t address = 0;
    std::string hostname;
    bool refresh = false; // --refresh: ask the service even when its file is fresh
    bool help = false;
    bool version = false;
};

// The options, or nullopt with error saying what is wrong (for exit status 2).
std::optional<LeaseOptions> parseLeaseOptions(int argc, char **argv, std::string &error);
