// libnss_vlm: answers NAME.DEVICE.vlm.internal with the address that the
// vlm_dhcpd service of DEVICE has bound to the guest called NAME, from the
// service's lease snapshot. Every name outside .vlm.internal, and every name
// in it that isn't one guest label and a device, is left to the next source
// in nsswitch.conf. It reads the snapshot file and nothing else: no signal,
// no root, no state kept between calls, so it is safe in threads.

#include "GuestName.h"
#include "GuestScan.h"
#include "SnapshotFormat.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <nss.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An adapter name fits IFNAMSIZ with its NUL.
constexpr std::size_t kDeviceMax = 15;
// A full table's snapshot is a few tens of megabytes at most.
constexpr off_t kMaxSnapshotSize = off_t{64} * 1024 * 1024;
constexpr std::int32_t kTtlSeconds = 1; // the file follows the table within about that

struct Query {
    const char *name;
    std::size_t nameLength;
    char path[sizeof kSnapshotDir + 1 + kDeviceMax + sizeof kSnapshotSuffix];
};

bool deviceByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

// NAME.DEVICE.vlm.internal, with or without the root's dot; NAME one label,
// DEVICE a plausible adapter name. False for anything else.
bool parseQuery(const char *text, Query &query) {
    std::size_t length = strnlen(text, 256);
    if (length == 256) {
        return false;
    }
    if (length > 0 && text[length - 1] == '.') {
        --length;
    }
    const std::size_t domain = sizeof guestname::kDomain - 1;
    if (length < domain + 4 || text[length - domain - 1] != '.' ||
        !guestname::sameName(text + length - domain, domain, guestname::kDomain, domain)) {
        return false;
    }
    const std::size_t rest = length - domain - 1; // NAME.DEVICE
    std::size_t dot = 0;
    while (dot < rest && text[dot] != '.') {
        ++dot;
    }
    const std::size_t deviceLength = dot < rest ? rest - dot - 1 : 0;
    if (!guestname::answers(text, dot) || deviceLength == 0 || deviceLength > kDeviceMax) {
        return false;
    }
    const char *device = text + dot + 1;
    for (std::size_t i = 0; i < deviceLength; ++i) {
        if (!deviceByte(device[i])) {
            return false;
        }
    }
    if (device[0] == '.' || device[deviceLength - 1] == '.') {
        return false; // also keeps "." and ".." out of the path
    }
    query.name = text;
    query.nameLength = dot;
    std::snprintf(query.path, sizeof query.path, "%s/%.*s%s", kSnapshotDir,
                  static_cast<int>(deviceLength), device, kSnapshotSuffix);
    return true;
}

// The address bound to the queried guest, from one read of the snapshot. A
// file that is not a regular file, too large or no whole snapshot, or whose
// writer is gone, gives no answer.
bool lookUp(const Query &query, std::uint32_t &address) {
    const int fd = open(query.path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    bool found = false;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxSnapshotSize) {
        GuestScan scan(query.name, query.nameLength);
        char buffer[8192];
        off_t total = 0;
        bool ok = true;
        for (;;) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                ok = got == 0;
                break;
            }
            total += got;
            if (total > kMaxSnapshotSize || !scan.Feed(buffer, static_cast<std::size_t>(got))) {
                ok = false;
                break;
            }
        }
        // A service killed without its exit leaves its file behind.
        char proc[32];
        std::snprintf(proc, sizeof proc, "/proc/%d", static_cast<int>(scan.Pid()));
        struct stat alive {};
        found = ok && scan.Found(address) && stat(proc, &alive) == 0;
    }
    close(fd);
    return found;
}

// What buffer holds for a struct hostent of one IPv4 address: the address,
// the list of one address, the empty alias list, the name.
nss_status fillHostent(const char *name, std::uint32_t address, hostent *result, char *buffer,
                       std::size_t length, int *errnop, int *herrnop) {
    const std::size_t nameSize = std::strlen(name) + 1;
    const std::size_t pointers = 3 * sizeof(char *); // address list and alias list
    const std::size_t align = alignof(char *);
    const std::size_t skew = reinterpret_cast<std::uintptr_t>(buffer) % align;
    const std::size_t pad = skew == 0 ? 0 : align - skew;
    if (length < pad + pointers + 4 + nameSize) {
        *errnop = ERANGE;
        *herrnop = NETDB_INTERNAL;
        return NSS_STATUS_TRYAGAIN;
    }
    char **list = reinterpret_cast<char **>(static_cast<void *>(buffer + pad));
    char *bytes = buffer + pad + pointers;
    char *copy = bytes + 4;
    const std::uint32_t wire = htonl(address);
    std::memcpy(bytes, &wire, 4);
    std::memcpy(copy, name, nameSize);
    list[0] = bytes;
    list[1] = nullptr;
    list[2] = nullptr;
    result->h_name = copy;
    result->h_aliases = list + 2;
    result->h_addrtype = AF_INET;
    result->h_length = 4;
    result->h_addr_list = list;
    return NSS_STATUS_SUCCESS;
}

nss_status notFound(int *errnop, int *herrnop) {
    *errnop = ENOENT;
    *herrnop = HOST_NOT_FOUND;
    return NSS_STATUS_NOTFOUND;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) nss_status
_nss_vlm_gethostbyname3_r(const char *name, int af, hostent *result, char *buffer,
                          std::size_t length, int *errnop, int *herrnop, std::int32_t *ttlp,
                          char **canonp) {
    Query query{};
    std::uint32_t address = 0;
    if (name == nullptr || !parseQuery(name, query) || !lookUp(query, address)) {
        return notFound(errnop, herrnop);
    }
    if (af != AF_INET) {
        // The guest exists, but the service gives IPv4 addresses only.
        *errnop = ENOENT;
        *herrnop = NO_DATA;
        return NSS_STATUS_NOTFOUND;
    }
    const nss_status status = fillHostent(name, address, result, buffer, length, errnop, herrnop);
    if (status == NSS_STATUS_SUCCESS) {
        if (ttlp != nullptr) {
            *ttlp = kTtlSeconds;
        }
        if (canonp != nullptr) {
            *canonp = result->h_name;
        }
    }
    return status;
}

__attribute__((visibility("default"))) nss_status
_nss_vlm_gethostbyname2_r(const char *name, int af, hostent *result, char *buffer,
                          std::size_t length, int *errnop, int *herrnop) {
    return _nss_vlm_gethostbyname3_r(name, af, result, buffer, length, errnop, herrnop, nullptr,
                                     nullptr);
}

__attribute__((visibility("default"))) nss_status
_nss_vlm_gethostbyname_r(const char *name, hostent *result, char *buffer, std::size_t length,
                         int *errnop, int *herrnop) {
    return _nss_vlm_gethostbyname3_r(name, AF_INET, result, buffer, length, errnop, herrnop,
                                     nullptr, nullptr);
}

__attribute__((visibility("default"))) nss_status
_nss_vlm_gethostbyname4_r(const char *name, gaih_addrtuple **pat, char *buffer, std::size_t length,
                          int *errnop, int *herrnop, std::int32_t *ttlp) {
    Query query{};
    std::uint32_t address = 0;
    if (name == nullptr || !parseQuery(name, query) || !lookUp(query, address)) {
        return notFound(errnop, herrnop);
    }
    const std::size_t nameSize = std::strlen(name) + 1;
    const std::size_t align = alignof(gaih_addrtuple);
    const std::size_t skew = reinterpret_cast<std::uintptr_t>(buffer) % align;
    const std::size_t pad = skew == 0 ? 0 : align - skew;
    if (length < pad + sizeof(gaih_addrtuple) + nameSize) {
        *errnop = ERANGE;
        *herrnop = NETDB_INTERNAL;
        return NSS_STATUS_TRYAGAIN;
    }
    auto *tuple = static_cast<gaih_addrtuple *>(static_cast<void *>(buffer + pad));
    char *copy = buffer + pad + sizeof(gaih_addrtuple);
    std::memcpy(copy, name, nameSize);
    std::memset(tuple, 0, sizeof *tuple);
    tuple->name = copy;
    tuple->family = AF_INET;
    const std::uint32_t wire = htonl(address);
    std::memcpy(tuple->addr, &wire, 4);
    *pat = tuple;
    if (ttlp != nullptr) {
        *ttlp = kTtlSeconds;
    }
    return NSS_STATUS_SUCCESS;
}

} // extern "C"
