// Bytes as the scope renew file, read the two ways the system reads it: by the
// service on SIGHUP (readRenewFile over the record it holds, then the new
// scope applied to the running stack with no check, as the service applies a
// renewal) and by the renew tool (readRecordFile, the scope check, the text
// of --print).
//
// Checked besides the sanitizers, each against a reading written out here:
// - the service's record is the file's first 40 bytes, a shorter file leaving
//   the old tail in place; the tool accepts exactly a 40-byte file, with the
//   same record, and reports the size it found otherwise;
// - the scope check passes exactly the scopes with end >= start + 18;
// - the --print text holds only printable characters and line ends;
// - after the renewal, a guest's DHCPDISCOVER is offered the first pool
//   address (scope start + 2) whenever the pool holds one, its DHCPREQUEST is
//   acknowledged with it, no reply gives an address outside the pool, and the
//   lease chain keeps its invariants.

#include "FrameBuilder.h"
#include "Log.h"
#include "RecordText.h"
#include "RenewFile.h"
#include "RenewRecordFile.h"
#include "ScopeCheck.h"
#include "ServerStack.h"
#include "StackChecks.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint32_t kScopeStart = fb::ip(10, 0, 0, 1);
constexpr std::uint32_t kScopeEnd = fb::ip(10, 0, 0, 254);
constexpr std::uint32_t kMask = fb::ip(255, 255, 255, 0);
constexpr fb::Mac kGuest{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
constexpr std::size_t kDhcpAt = 42; // Ethernet, IPv4 without options, UDP

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "renew record: %s\n", what.c_str());
    std::abort();
}

struct Scratch {
    std::string path;
    Scratch() {
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
        path = std::string(dir) + "vlm-fuzz-renew-" + std::to_string(getpid());
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { unlink(path.c_str()); }
};

void writeFile(const std::string &path, const std::uint8_t *data, std::size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || (size != 0 && write(fd, data, size) != static_cast<ssize_t>(size))) {
        fail("cannot write the scratch file " + path);
    }
    close(fd);
}

// The record the service writes at start and holds until a renewal.
ScopeRenewRecord serviceRecord() {
    ScopeRenewRecord r{};
    r.pid = 4242;
    r.scopeStart = kScopeStart;
    r.scopeEnd = kScopeEnd;
    r.scopeMask = kMask;
    std::strcpy(r.adapterName, "vnic0");
    r.startInterface = 1;
    return r;
}

std::uint32_t word(const fb::Bytes &f, std::size_t at) {
    return (std::uint32_t{f[at]} << 24) | (std::uint32_t{f[at + 1]} << 16) |
           (std::uint32_t{f[at + 2]} << 8) | std::uint32_t{f[at + 3]};
}

// Feeds one guest frame; returns the reply's message type (0 for none) and
// its yiaddr, after checking that it is a single reply with the type first.
std::uint8_t exchange(ServerStack &s, const fb::Bytes &frame, std::uint32_t &yiaddr) {
    s.bridge.frames.clear();
    s.feed(frame);
    if (s.bridge.frames.empty()) {
        return 0;
    }
    if (s.bridge.frames.size() != 1) {
        fail("more than one frame written for one");
    }
    const fb::Bytes &reply = s.bridge.frames.front();
    if (reply.size() < kDhcpAt + 243 || reply[kDhcpAt + 240] != 53 || reply[kDhcpAt + 241] != 1) {
        fail("a reply without its message type first");
    }
    yiaddr = word(reply, kDhcpAt + 16);
    const std::uint8_t type = reply[kDhcpAt + 242];
    // Freed inside the input that wrote it: a block that outlives its input
    // makes libFuzzer run every input twice to look for a leak.
    s.bridge.frames.clear();
    return type;
}

// The messages are formatted as the daemon formats them, but not sent to
// syslog: with no log daemon to take them, every message reopened the socket.
void discardLog(int, const char *) {}

void checkText(const std::string &text, const char *what) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b != '\n' && (b < 0x20 || b >= 0x7f)) {
            fail(std::string(what) + " holds an unprintable byte");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const Scratch scratch;
    static ServerStack stack(kScopeStart, kScopeEnd, kMask);
    static const LogSink quiet = setLogSink(discardLog);
    (void)quiet;
    static const fb::Bytes discover = fb::dhcpClientFrame(kGuest, fb::discover(0x11223344, kGuest));
    constexpr std::size_t kRecord = sizeof(ScopeRenewRecord);
    writeFile(scratch.path, data, size);

    // The service: a read over the record it holds.
    ScopeRenewRecord record = serviceRecord();
    unsigned char expected[kRecord];
    std::memcpy(expected, &record, kRecord);
    std::memcpy(expected, data, size < kRecord ? size : kRecord);
    if (readRenewFile(scratch.path.c_str(), record) != 0) {
        fail("the service could not read an existing file");
    }
    if (std::memcmp(&record, expected, kRecord) != 0) {
        fail("the service's record is not the file's bytes over the old record");
    }

    // The tool: exactly one record, or the size found.
    ScopeRenewRecord toolRecord;
    std::memset(&toolRecord, 0xa5, kRecord);
    const RecordReadResult read = readRecordFile(scratch.path, toolRecord);
    if (size == kRecord) {
        if (read.status != RecordRead::ok || std::memcmp(&toolRecord, data, kRecord) != 0) {
            fail("the tool did not read a whole record as it stands");
        }
    } else {
        const std::size_t seen = size < kRecord + 1 ? size : kRecord + 1;
        if (read.status != RecordRead::wrongSize || read.size != seen) {
            fail("the tool did not refuse a file of " + std::to_string(size) + " bytes");
        }
        std::memcpy(&toolRecord, &record, kRecord);
    }
    checkText(describeRecord(toolRecord, ProcessInfo{ProcessState::notRunning, {}}),
              "the --print text");

    const std::uint32_t start = record.scopeStart;
    const std::uint32_t end = record.scopeEnd;
    const bool wide =
        end >= start && end - start >= kMinScopeSpan && ((start ^ end) & record.scopeMask) == 0;
    if ((checkScope(start, end, record.scopeMask) == ScopeVerdict::ok) != wide) {
        fail("the scope check disagrees for start " + std::to_string(start) + " end " +
             std::to_string(end));
    }

    // The renewal, applied as the service applies it.
    applyScope(stack.layers, start, end, record.scopeMask);
    const std::uint32_t poolStart = start + 2;
    // The pool's first address is offered when it is a host address of the
    // server's subnet: above its network address and below its broadcast
    // address (start | ~mask). A mask with holes in it still spans that
    // range, which is what the table serves.
    const std::uint32_t network = start & record.scopeMask;
    const std::uint32_t broadcast = network | ~record.scopeMask;
    const bool inSubnet =
        start == 0 || (~record.scopeMask >= 2 && poolStart > network && poolStart < broadcast);
    const bool hasPool = poolStart != 0 && poolStart <= end && inSubnet;

    std::uint32_t offered = 0;
    const std::uint8_t offerType = exchange(stack, discover, offered);
    if (hasPool && (offerType != 2 || offered != poolStart)) {
        fail("a renewed pool that has addresses did not offer its first");
    }
    if (!hasPool && offerType == 2) {
        fail("a renewed pool without addresses offered one");
    }
    if (offerType == 2) {
        std::uint32_t acked = 0;
        const std::uint8_t ackType = exchange(
            stack, fb::dhcpClientFrame(kGuest, fb::request(0x11223345, kGuest, offered, start)),
            acked);
        if (ackType != 5 || acked != offered) {
            fail("the offered address was not acknowledged");
        }
    }
    if (std::string fault = checks::leaseTableFault(*stack.dhcp, false); !fault.empty()) {
        fail(fault);
    }
    return 0;
}
