#include "RenewFile.h"

#include "AtomicReplace.h"
#include "Log.h"

#include <cstdio>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

bool buildRenewPath(char (&path)[kRenewPathSize], const char *device, const char *dir) {
    const int needed = std::snprintf(path, sizeof path, kRenewFilePattern, dir, device);
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof path) {
        path[0] = '\0';
        return false;
    }
    return true;
}

void writeRenewFile(const char *path, const ScopeRenewRecord &record) {
    // Replaced whole: a full file system or a reader at the wrong moment must
    // never meet a part of a record. A failed write leaves what was there.
    if (replaceFile(path, kRenewFileMode, &record, sizeof record) != 0) {
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC couldn't create scope renew file. "
                        "Scope update will be unavailaible.");
    }
}

int readRenewFile(const char *path, ScopeRenewRecord &record) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC couldn't open scope renew file.");
        return -1;
    }
    if (read(fd, &record, sizeof record) != static_cast<ssize_t>(sizeof record)) {
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC couldn't read scope renew file.");
    }
    close(fd);
    return 0;
}

void removeRenewFile(const char *path) {
    if (unlink(path) != 0) {
        vlmLog(LOG_ERR, "Velmarind DHCP server for virtual NIC couldn't delete scope renew file.");
    }
}
