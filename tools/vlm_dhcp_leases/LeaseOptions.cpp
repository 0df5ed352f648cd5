#include "LeaseOptions.h"

#include "RenewRecordFile.h"
#include "ScopeRenewRecord.h"
#include "ServiceProcess.h"
#include "SnapshotFormat.h"
#include "SudoGuard.h"

#include <getopt.h>

namespace {

enum OptionId {
    optJson = 256,
    optMac,
    optAddress,
    optHostname,
    optRefresh,
    optInstallDir,
    optRunDir,
    optDaemon,
    optVersion
};

std::string withSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

} // namespace

std::optional<LeaseOptions> parseLeaseOptions(int argc, char **argv, std::string &error) {
    static const option longOptions[] = {
        {"device", required_argument, nullptr, 'd'},
        {"json", no_argument, nullptr, optJson},
        {"mac", required_argument, nullptr, optMac},
        {"address", required_argument, nullptr, optAddress},
        {"hostname", required_argument, nullptr, optHostname},
        {"refresh", no_argument, nullptr, optRefresh},
        // Testing aids: folders and a daemon program of a test's own.
        {"install-dir", required_argument, nullptr, optInstallDir},
        {"run-dir", required_argument, nullptr, optRunDir},
        {"daemon", required_argument, nullptr, optDaemon},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, optVersion},
        {nullptr, 0, nullptr, 0},
    };
    LeaseOptions options;
    options.installDir = kInstallDir;
    options.runDir = kSnapshotDir;
    options.daemon = kInstalledDaemon;
    bool testingAids = false;
    bool json = false;
    const char *mac = nullptr;
    const char *address = nullptr;
    const char *hostname = nullptr;
    optind = 0; // getopt starts afresh on every call
    opterr = 0; // the messages below say what was wrong
    int id = 0;
    while ((id = getopt_long(argc, argv, "+:d:h", longOptions, nullptr)) != -1) {
        switch (id) {
        case 'd':
            options.device = optarg;
            break;
        case optJson:
            json = true;
            break;
        case optMac:
            mac = optarg;
            break;
        case optAddress:
            address = optarg;
            break;
        case optHostname:
            hostname = optarg;
            break;
        case optRefresh:
            options.refresh = true;
            break;
        case optInstallDir:
            options.installDir = withSlash(optarg);
            testingAids = true;
            break;
        case optRunDir:
            options.runDir = optarg;
            testingAids = true;
            break;
        case optDaemon:
            options.daemon = optarg;
            testingAids = true;
            break;
        case 'h':
            options.help = true;
            return options;
        case optVersion:
            options.version = true;
            return options;
        case ':':
            error = std::string(argv[optind - 1]) + " needs a value";
            return std::nullopt;
        default:
            // Inside a cluster such as -xd getopt has not moved past the
            // word yet: name the letter it did not know.
            error = "unknown option " + (optopt != 0 ? std::string{'-', static_cast<char>(optopt)}
                                                     : std::string(argv[optind - 1]));
            return std::nullopt;
        }
    }
    if (optind < argc) {
        error = "unexpected argument '" + std::string(argv[optind]) + "'";
        return std::nullopt;
    }
    if (testingAids && runForAnotherUserThroughSudo()) {
        error = "--install-dir, --run-dir and --daemon are testing aids, refused under sudo";
        return std::nullopt;
    }
    if (!isUsableDeviceName(options.device)) {
        error = "'" + options.device + "' is not a device name (empty, or holds '/')";
        return std::nullopt;
    }
    if ((mac != nullptr) + (address != nullptr) + (hostname != nullptr) + json > 1) {
        error = "--json, --mac, --address and --hostname exclude each other";
        return std::nullopt;
    }
    if (mac != nullptr) {
        const auto parsed = parseHwAddress(mac);
        if (!parsed) {
            error = "--mac '" + std::string(mac) +
                    "' is not a hardware address (six hexadecimal pairs: 52:54:00:12:34:56)";
            return std::nullopt;
        }
        options.hwAddress = *parsed;
        options.query = LeaseQuery::byHw;
    }
    if (address != nullptr) {
        const auto parsed = parseDottedQuad(address);
        if (!parsed) {
            error = "--address '" + std::string(address) +
                    "' is not an IPv4 address (four numbers 0-255: 10.37.129.3)";
            return std::nullopt;
        }
        options.address = *parsed;
        options.query = LeaseQuery::byAddress;
    }
    if (hostname != nullptr) {
        options.hostname = hostname;
        options.query = LeaseQuery::byName;
    }
    if (json) {
        options.query = LeaseQuery::json;
    }
    return options;
}
