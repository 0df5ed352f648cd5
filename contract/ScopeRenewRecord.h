#pragma once

#include <cstddef>
#include <cstdint>

// The scope renew file: one 40-byte record in the host's byte order, no
// header, version or checksum. Whoever manages the host rewrites it whole and
// sends SIGHUP to the service, which reads it back and applies the scope.
inline constexpr char kInstallDir[] = "/usr/lib/velmarind/";
// The device (the host adapter) the service and the tools take when none is named.
inline constexpr char kDefaultDevice[] = "vnic0";
inline constexpr char kRenewFilePattern[] = "%s.dhcp.%s"; // install dir, device name
inline constexpr std::size_t kRenewPathSize = 1024;
inline constexpr std::size_t kAdapterNameSize = 16;

struct ScopeRenewRecord {
    std::int32_t pid;         // the service process
    std::uint32_t scopeStart; // address values, host order
    std::uint32_t scopeEnd;
    std::uint32_t scopeMask;
    std::uint32_t reserved;             // 0
    char adapterName[kAdapterNameSize]; // at most 15 characters when written by the service
    std::int32_t startInterface;        // the "Start interface" value
};

static_assert(sizeof(ScopeRenewRecord) == 40);
static_assert(offsetof(ScopeRenewRecord, pid) == 0);
static_assert(offsetof(ScopeRenewRecord, scopeStart) == 4);
static_assert(offsetof(ScopeRenewRecord, scopeEnd) == 8);
static_assert(offsetof(ScopeRenewRecord, scopeMask) == 12);
static_assert(offsetof(ScopeRenewRecord, reserved) == 16);
static_assert(offsetof(ScopeRenewRecord, adapterName) == 20);
static_assert(offsetof(ScopeRenewRecord, startInterface) == 36);
