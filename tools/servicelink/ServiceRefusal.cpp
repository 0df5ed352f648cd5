#include "ServiceRefusal.h"

#include "ScopeRenewRecord.h"

#include <cstdio>
#include <cstring>

int reportRecordRead(const char *tool, const RecordReadResult &result, const std::string &path,
                     const std::string &device) {
    switch (result.status) {
    case RecordRead::ok:
        return 0;
    case RecordRead::missing:
        std::fprintf(stderr, "%s: %s does not exist: is vlm_dhcpd running for %s?\n", tool,
                     path.c_str(), device.c_str());
        return kExitNoRenewFile;
    case RecordRead::unreadable:
        std::fprintf(stderr, "%s: cannot read %s: %s\n", tool, path.c_str(),
                     std::strerror(result.error));
        return kExitNoRenewFile;
    case RecordRead::wrongSize:
        std::fprintf(stderr, "%s: %s holds %s%zu bytes, not one %zu-byte scope renew record\n",
                     tool, path.c_str(), result.size > sizeof(ScopeRenewRecord) ? "more than " : "",
                     result.size > sizeof(ScopeRenewRecord) ? sizeof(ScopeRenewRecord)
                                                            : result.size,
                     sizeof(ScopeRenewRecord));
        return kExitMalformedRecord;
    }
    return kExitNoRenewFile;
}

int reportNotService(const char *tool, const ProcessInfo &info, std::int32_t pid,
                     const std::string &path, const ServiceClaim &claim) {
    if (info.state == ProcessState::otherProgram) {
        std::fprintf(
            stderr, "%s: pid %d named in %s runs %s, not %s (%s); the renew file is stale\n", tool,
            pid, path.c_str(), info.program.c_str(), kServiceProgram, claim.program.c_str());
    } else if (info.state == ProcessState::notRoot) {
        std::fprintf(stderr, "%s: pid %d named in %s runs %s, but not as root: not the service\n",
                     tool, pid, path.c_str(), info.program.c_str());
    } else if (info.state == ProcessState::notHolder) {
        std::fprintf(stderr,
                     "%s: pid %d named in %s does not hold %s: not the service of this adapter; "
                     "the renew file is stale\n",
                     tool, pid, path.c_str(), claim.lockPath.c_str());
    } else {
        std::fprintf(stderr, "%s: pid %d named in %s is not running; the renew file is stale\n",
                     tool, pid, path.c_str());
    }
    return kExitServiceNotRunning;
}
