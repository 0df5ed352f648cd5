#include "LeaseSnapshot.h"

#include "AddressText.h"
#include "AtomicReplace.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kSnapshotMode = 0644;
// Big enough that a full table goes out in a few hundred writes.
constexpr std::size_t kWriteBuffer = std::size_t{64} * 1024;

// Bytes outside ! to ~, and the backslash, as \xNN: a value never holds a
// blank or a line end, so no text can add a field or a line.
void putEscaped(std::FILE *out, const char *text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte > ' ' && byte < 0x7F && byte != '\\') {
            std::fputc(byte, out);
        } else {
            std::fprintf(out, "\\x%02x", byte);
        }
    }
}

void putDevice(std::FILE *out, const char *device) {
    std::fputs("device ", out);
    putEscaped(out, device, std::strlen(device));
    std::fputc('\n', out);
}

void putMoment(std::FILE *out, const char *key, std::uint32_t monotonic,
               const SnapshotFacts &facts) {
    if (monotonic == 0) {
        return;
    }
    const std::int64_t unixTime = facts.unixTime - (facts.monotonicSeconds - monotonic);
    std::fprintf(out, " %s=%" PRIu32 ",%" PRId64, key, monotonic, unixTime);
}

void putGuest(std::FILE *out, const char *address, const GuestFact &guest,
              const SnapshotFacts &facts) {
    if (guest.nameLength == 0 && guest.clientIdLength == 0 && guest.firstOffer == 0 &&
        guest.firstAck == 0 && guest.lastSeen == 0) {
        return;
    }
    std::fprintf(out, "guest %s", address);
    if (guest.nameLength != 0) {
        std::fputs(" name=", out);
        putEscaped(out, guest.name,
                   guest.nameLength < kGuestNameMax ? guest.nameLength : kGuestNameMax);
    }
    if (guest.clientIdLength != 0) {
        std::fputs(" client-id=", out);
        for (std::size_t i = 0; i < guest.clientIdLength && i < kClientIdMax; ++i) {
            std::fprintf(out, "%02x", guest.clientId[i]);
        }
    }
    putMoment(out, "first-offer", guest.firstOffer, facts);
    putMoment(out, "bound-since", guest.firstAck, facts);
    putMoment(out, "last-ack", guest.lastAck, facts);
    putMoment(out, "last-seen", guest.lastSeen, facts);
    std::fputc('\n', out);
}

void putCounters(std::FILE *out, const SnapshotFacts &facts) {
    if (facts.counters == nullptr) {
        return;
    }
    const DhcpCounters &c = *facts.counters;
    const struct {
        const char *name;
        std::uint64_t value;
    } lines[] = {
        {"frames-read", facts.framesRead},
        {"discovers-seen", c.discoversSeen},
        {"requests-seen", c.requestsSeen},
        {"offers-sent", c.offersSent},
        {"acks-sent", c.acksSent},
        {"naks-sent", c.naksSent},
        {"dropped-malformed", c.droppedMalformed},
        {"dropped-not-for-us", c.droppedNotForUs},
    };
    for (const auto &line : lines) {
        std::fprintf(out, "counter %s %" PRIu64 "\n", line.name, line.value);
    }
}

void putHeader(std::FILE *out, const SnapshotFacts &facts) {
    char a[kAddressTextSize];
    char b[kAddressTextSize];
    std::fprintf(out, "%s %d\n", kSnapshotMagic, kSnapshotVersion);
    putDevice(out, facts.device);
    std::fprintf(out, "pid %" PRId32 "\n", facts.pid);
    std::fprintf(out, "time %" PRId64 "\n", facts.unixTime);
    std::fprintf(out, "monotonic %" PRId64 ".%09" PRId32 "\n", facts.monotonicSeconds,
                 facts.monotonicNanoseconds);
    std::fprintf(out, "own-address %s\n", addressText(facts.ownAddress, a));
    std::fprintf(out, "scope %s %s\n", addressText(facts.scopeStart, a),
                 addressText(facts.scopeEnd, b));
    std::fprintf(out, "mask %s\n", addressText(facts.scopeMask, a));
    putCounters(out, facts);
}

// The used entries in address order: the chain from slot 0. The walk is
// bounded by the table size, so even a damaged chain cannot loop.
std::size_t putLeases(std::FILE *out, const SnapshotFacts &facts, std::span<const LeaseEntry> table,
                      const GuestFact *guests) {
    std::size_t count = 0;
    if (table.empty() || table[0].state == LEASE_FREE) {
        return 0;
    }
    std::size_t slot = 0;
    char address[kAddressTextSize];
    char hardware[kHwAddressTextSize];
    for (std::size_t steps = 0; steps < table.size(); ++steps) {
        const LeaseEntry &entry = table[slot];
        const char *state = entry.state == LEASE_BOUND     ? "bound"
                            : entry.state == LEASE_OFFERED ? "offered"
                                                           : "unknown";
        std::fprintf(out, "lease %s %s %s\n", addressText(entry.ipAddr, address),
                     hwAddressText(entry.hwAddr, hardware), state);
        if (guests != nullptr) {
            putGuest(out, address, guests[slot], facts);
        }
        ++count;
        if (entry.next < 0 || static_cast<std::size_t>(entry.next) >= table.size()) {
            break;
        }
        slot = static_cast<std::size_t>(entry.next);
    }
    return count;
}

} // namespace

void stampSnapshotFacts(SnapshotFacts &facts) {
    facts.pid = static_cast<std::int32_t>(getpid());
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    facts.unixTime = static_cast<std::int64_t>(now.tv_sec);
    clock_gettime(CLOCK_MONOTONIC, &now);
    facts.monotonicSeconds = static_cast<std::int64_t>(now.tv_sec);
    facts.monotonicNanoseconds = static_cast<std::int32_t>(now.tv_nsec);
}

int writeLeaseSnapshot(const char *path, const SnapshotFacts &facts,
                       std::span<const LeaseEntry> table, const GuestFact *guests) {
    if (path == nullptr || path[0] == '\0') {
        return ENAMETOOLONG;
    }
    return replaceFile(path, kSnapshotMode, [&facts, table, guests](int fd) {
        // The stream gets a descriptor of its own: the replacement syncs and
        // closes fd after the stream has been flushed and closed.
        const int copy = dup(fd);
        std::FILE *out = copy >= 0 ? fdopen(copy, "w") : nullptr;
        if (out == nullptr) {
            const int error = errno;
            if (copy >= 0) {
                close(copy);
            }
            return error;
        }
        std::setvbuf(out, nullptr, _IOFBF, kWriteBuffer);
        putHeader(out, facts);
        const std::size_t count = putLeases(out, facts, table, guests);
        std::fprintf(out, "end %zu\n", count);
        // A full folder shows at the flush or at the close, not at each line.
        errno = 0;
        int error = 0;
        if (std::fflush(out) != 0 || std::ferror(out) != 0) {
            error = errno != 0 ? errno : EIO;
        }
        if (std::fclose(out) != 0 && error == 0) {
            error = errno;
        }
        return error;
    });
}

void removeSnapshotTemporaries(const char *path) {
    if (path != nullptr && path[0] != '\0') {
        removeReplaceTemporaries(path);
    }
}
