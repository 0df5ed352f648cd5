#include "RenewRecordFile.h"

#include "AtomicReplace.h"
#include "RenewFile.h"
#include "ServiceLock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// One byte more than a record, so that a longer file shows as such.
constexpr std::size_t kProbeSize = sizeof(ScopeRenewRecord) + 1;

} // namespace

std::string renewFilePath(const std::string &installDir, const std::string &device) {
    // The service's own rule, so that both always name the same file; a path
    // too long for the service is no path at all.
    char path[kRenewPathSize];
    return buildRenewPath(path, device.c_str(), installDir.c_str()) ? std::string(path)
                                                                    : std::string();
}

std::string lockFilePath(const std::string &installDir, const std::string &device) {
    char path[kRenewPathSize];
    return buildLockPath(path, device.c_str(), installDir.c_str()) ? std::string(path)
                                                                   : std::string();
}

bool isUsableDeviceName(std::string_view device) {
    return !device.empty() && device.find('/') == std::string_view::npos;
}

RecordReadResult readRecordFile(const std::string &path, ScopeRenewRecord &record) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return {error == ENOENT ? RecordRead::missing : RecordRead::unreadable, error, 0};
    }
    unsigned char bytes[kProbeSize];
    std::size_t size = 0;
    while (size < kProbeSize) {
        const ssize_t got = read(fd, bytes + size, kProbeSize - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            close(fd);
            return {RecordRead::unreadable, error, size};
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    close(fd);
    if (size != sizeof(ScopeRenewRecord)) {
        return {RecordRead::wrongSize, 0, size};
    }
    std::memcpy(&record, bytes, sizeof record);
    return {RecordRead::ok, 0, size};
}

int replaceRecordFile(const std::string &path, const ScopeRenewRecord &record) {
    return replaceFile(path.c_str(), kRenewFileMode, &record, sizeof record);
}
