#pragma once

#include <cstddef>
#include <cstdint>

// The NSS module's reader of a lease snapshot (contract/SnapshotFormat.h): fed
// the file in pieces of any size, it looks for the bound lease whose guest
// answers to one name (GuestName.h). Strict and bounded: a line longer than
// kMaxLine, a version below 2, a lease or guest line that does not read, a
// missing or wrong end line or anything after it makes the whole file count
// as no answer. It keeps no state outside the object and allocates nothing,
// so any number of threads may each scan with their own.
class GuestScan {
public:
    // Far above the longest line the service writes (a guest line with a
    // fully escaped 63-byte name is under 600 bytes).
    static constexpr std::size_t kMaxLine = 1024;

    // name: the label asked for, of nameLength bytes; the object keeps the
    // pointer, not a copy.
    GuestScan(const char *name, std::size_t nameLength);

    // False once the file is known to be no snapshot; feeding then stops.
    bool Feed(const char *data, std::size_t length);
    // After the last piece: whether the file was a whole snapshot in which
    // a bound lease answers to the name; address is then that lease's.
    bool Found(std::uint32_t &address) const;
    // The service that wrote the file, once its pid line was read; else 0.
    std::int32_t Pid() const { return pid_; }

private:
    bool Line(const char *text, std::size_t length);
    bool LeaseLine(const char *text, std::size_t length);
    bool GuestLine(const char *text, std::size_t length);

    const char *name_;
    std::size_t nameLength_;
    char line_[kMaxLine] = {};
    std::size_t lineLength_ = 0;
    bool broken_ = false;
    bool started_ = false;
    bool ended_ = false;
    std::uint32_t leases_ = 0;
    std::int32_t pid_ = 0;
    // The lease line just read, which a guest line may follow once.
    bool guestAllowed_ = false;
    bool leaseBound_ = false;
    std::uint32_t leaseAddress_ = 0;
    // The best claim so far.
    bool found_ = false;
    std::uint32_t foundAddress_ = 0;
    std::int64_t foundSince_ = 0;
};
