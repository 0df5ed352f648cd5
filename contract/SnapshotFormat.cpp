#include "SnapshotFormat.h"

#include <cstdio>
#include <cstring>

bool buildSnapshotPath(char (&path)[kRenewPathSize], const char *device, const char *dir) {
    path[0] = '\0';
    if (device == nullptr || device[0] == '\0' || std::strchr(device, '/') != nullptr) {
        return false;
    }
    const int needed = std::snprintf(path, sizeof path, "%s/%s%s", dir, device, kSnapshotSuffix);
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof path) {
        path[0] = '\0';
        return false;
    }
    return true;
}
