// vlm_dhcp_renew: gives a running vlm_dhcpd service a new scope by rewriting
// its scope renew file and sending it SIGHUP.

#include "AddressText.h"
#include "RecordText.h"
#include "RenewRecordFile.h"
#include "ScopeCheck.h"
#include "ServiceProcess.h"
#include "ServiceRefusal.h"
#include "SudoGuard.h"
#include "parseAddress.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <optional>
#include <string>

namespace {

constexpr char kTool[] = "vlm_dhcp_renew";

// Exit statuses; the manual page lists them.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitBadScope = 2;
// 3 to 5: ServiceRefusal.h
constexpr int kExitCannotApply = 6;

struct Options {
    std::string device = kDefaultDevice;
    std::string installDir = kInstallDir;
    std::string daemon = kInstalledDaemon;
    bool testingAids = false;
    const char *start = nullptr;
    const char *end = nullptr;
    const char *mask = nullptr;
    bool force = false;
    bool print = false;
};

enum OptionId {
    optStart = 256,
    optEnd,
    optMask,
    optForce,
    optPrint,
    optInstallDir,
    optDaemon,
    optVersion
};

void usage(std::FILE *to) {
    std::fprintf(to,
                 "Usage: %s [-d DEVICE] --start ADDRESS --end ADDRESS [--mask MASK] [--force]\n"
                 "       %s [-d DEVICE] --print\n"
                 "Gives the running vlm_dhcpd service of DEVICE (default %s) a new scope.\n"
                 "Addresses are dotted quads or one hexadecimal number. Without --mask the\n"
                 "current mask stays. --force applies a scope the service would refuse at start.\n"
                 "See vlm_dhcp_renew(8).\n",
                 kTool, kTool, kDefaultDevice);
}

std::optional<Options> parseOptions(int argc, char **argv) {
    static const option longOptions[] = {
        {"device", required_argument, nullptr, 'd'},
        {"start", required_argument, nullptr, optStart},
        {"end", required_argument, nullptr, optEnd},
        {"mask", required_argument, nullptr, optMask},
        {"force", no_argument, nullptr, optForce},
        {"print", no_argument, nullptr, optPrint},
        // Testing aids: a directory and a daemon program of the test's own.
        {"install-dir", required_argument, nullptr, optInstallDir},
        {"daemon", required_argument, nullptr, optDaemon},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optVersion},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    int id = 0;
    while ((id = getopt_long(argc, argv, "+d:h", longOptions, nullptr)) != -1) {
        switch (id) {
        case 'd':
            options.device = optarg;
            break;
        case optStart:
            options.start = optarg;
            break;
        case optEnd:
            options.end = optarg;
            break;
        case optMask:
            options.mask = optarg;
            break;
        case optForce:
            options.force = true;
            break;
        case optPrint:
            options.print = true;
            break;
        case optInstallDir:
            options.installDir = optarg;
            if (options.installDir.empty() || options.installDir.back() != '/') {
                options.installDir += '/';
            }
            options.testingAids = true;
            break;
        case optDaemon:
            options.daemon = optarg;
            options.testingAids = true;
            break;
        case 'h':
            usage(stdout);
            std::exit(kExitOk);
        case optVersion:
            std::printf("%s %s\n", kTool, VLM_VERSION);
            std::exit(kExitOk);
        default: // getopt_long has said what was wrong
            usage(stderr);
            return std::nullopt;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s'\n", kTool, argv[optind]);
        return std::nullopt;
    }
    if (options.testingAids && runForAnotherUserThroughSudo()) {
        std::fprintf(
            stderr, "%s: --install-dir and --daemon are testing aids, refused under sudo\n", kTool);
        return std::nullopt;
    }
    if (!isUsableDeviceName(options.device)) {
        std::fprintf(stderr, "%s: '%s' is not a device name (empty, or holds '/')\n", kTool,
                     options.device.c_str());
        return std::nullopt;
    }
    if (options.print && (options.start || options.end || options.mask || options.force)) {
        std::fprintf(stderr, "%s: --print takes no scope\n", kTool);
        return std::nullopt;
    }
    if (!options.print && (!options.start || !options.end)) {
        std::fprintf(stderr, "%s: both --start and --end are needed (or --print)\n", kTool);
        usage(stderr);
        return std::nullopt;
    }
    return options;
}

// parseAddress answers 0 both for "0.0.0.0" and for a failure; errno tells.
bool parseAddressOption(const char *name, const char *text, std::uint32_t &value) {
    errno = 0;
    value = parseAddress(text);
    if (value == 0 && errno == EINVAL) {
        std::fprintf(stderr,
                     "%s: --%s '%s' is not an address (a.b.c.d, or one hexadecimal number)\n",
                     kTool, name, text);
        return false;
    }
    return true;
}

bool scopeAcceptable(std::uint32_t start, std::uint32_t end, std::uint32_t mask) {
    switch (checkScope(start, end, mask)) {
    case ScopeVerdict::ok:
        return true;
    case ScopeVerdict::tooFewAddresses:
        std::fprintf(stderr,
                     "%s: scope %s - %s is too small: end - start is %u, the service needs at "
                     "least %u (own address, host adapter, 17 guests); --force applies it "
                     "anyway\n",
                     kTool, formatAddress(start).c_str(), formatAddress(end).c_str(), end - start,
                     kMinScopeSpan);
        return false;
    case ScopeVerdict::startAboveEnd:
        std::fprintf(stderr,
                     "%s: scope start %s lies above scope end %s; --force applies it "
                     "anyway\n",
                     kTool, formatAddress(start).c_str(), formatAddress(end).c_str());
        return false;
    case ScopeVerdict::crossesSubnet:
        std::fprintf(stderr,
                     "%s: scope %s - %s crosses its subnet: the end lies outside %s/%s; "
                     "--force applies it anyway\n",
                     kTool, formatAddress(start).c_str(), formatAddress(end).c_str(),
                     formatAddress(start & mask).c_str(), formatAddress(mask).c_str());
        return false;
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        return kExitUsage;
    }
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t mask = 0;
    if (!options->print) {
        if (!parseAddressOption("start", options->start, start) ||
            !parseAddressOption("end", options->end, end) ||
            (options->mask && !parseAddressOption("mask", options->mask, mask))) {
            return kExitBadScope;
        }
        // Without --mask the subnet is known once the record is read.
        if (!options->force && !scopeAcceptable(start, end, options->mask ? mask : 0)) {
            return kExitBadScope;
        }
    }

    const std::string path = renewFilePath(options->installDir, options->device);
    if (path.empty()) {
        std::fprintf(stderr, "%s: device name %s is too long: its service has no renew file\n",
                     kTool, options->device.c_str());
        return kExitNoRenewFile;
    }
    ScopeRenewRecord record{};
    const RecordReadResult read = readRecordFile(path, record);
    if (read.status != RecordRead::ok) {
        return reportRecordRead(kTool, read, path, options->device);
    }
    const pid_t pid = record.pid;
    const ServiceClaim claim{lockFilePath(options->installDir, options->device), options->daemon};
    ProcessInfo process = inspectProcess(kProcRoot, pid, claim);
    if (options->print) {
        std::printf("%s\n%s", path.c_str(), describeRecord(record, process).c_str());
        return kExitOk;
    }
    if (process.state != ProcessState::service) {
        return reportNotService(kTool, process, record.pid, path, claim);
    }

    if (!options->force && !options->mask && !scopeAcceptable(start, end, record.scopeMask)) {
        return kExitBadScope;
    }

    // pid, adapter name and start-interface value stay as the service wrote them.
    record.scopeStart = start;
    record.scopeEnd = end;
    if (options->mask) {
        record.scopeMask = mask;
    }
    record.reserved = 0;
    if (const int error = replaceRecordFile(path, record); error != 0) {
        std::fprintf(stderr, "%s: cannot replace %s: %s\n", kTool, path.c_str(),
                     std::strerror(error));
        return kExitCannotApply;
    }
    if (const int error = signalService(kProcRoot, pid, SIGHUP, claim, process); error != 0) {
        if (error == ESRCH) {
            return reportNotService(kTool, process, record.pid, path, claim);
        }
        std::fprintf(stderr, "%s: cannot signal vlm_dhcpd (pid %d): %s\n", kTool, record.pid,
                     std::strerror(error));
        return kExitCannotApply;
    }
    std::printf("%s: scope %s - %s mask %s sent to vlm_dhcpd (pid %d)\n", options->device.c_str(),
                formatAddress(record.scopeStart).c_str(), formatAddress(record.scopeEnd).c_str(),
                formatAddress(record.scopeMask).c_str(), record.pid);
    return kExitOk;
}
