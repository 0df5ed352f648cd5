#include "BridgeLink.h"
#include "LoadRunner.h"
#include "Options.h"
#include "PacketLink.h"
#include "Report.h"
#include "Responder.h"

#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace dhcpload::wire;

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onStop(int) {
    stopRequested = 1;
}

std::unique_ptr<Link> openLink(const Options &options, std::string &error) {
    const std::uint16_t listenPort = options.respond ? dhcp::kServerPort : dhcp::kClientPort;
    if (!options.interface.empty()) {
        return PacketLink::Open(options.interface, listenPort, error);
    }
    return BridgeLink::Open(options.device, options.portName, options.portMac, options.bridgeMode,
                            error);
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "dhcpload: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    // A run longer than a second shows a progress line on a terminal.
    if (isatty(STDERR_FILENO) != 0) {
        options.run.progress = true;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    std::unique_ptr<Link> link = openLink(options, error);
    if (!link) {
        std::fprintf(stderr, "dhcpload: %s\n", error.c_str());
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (options.respond) {
        const ResponderCounters counters = runResponder(*link, options.responder, stopRequested);
        std::fputs(options.json ? formatResponderJson(counters).c_str()
                                : formatResponderText(counters).c_str(),
                   stdout);
        return 0;
    }
    const RunResult result = runLoad(*link, options.run, stopRequested);
    std::fputs(options.json ? formatJson(result).c_str() : formatText(result).c_str(), stdout);
    const BookCounters &c = result.counters;
    return c.duplicateOffers + c.duplicateAcks > 0 || c.completed == 0 ? 1 : 0;
}
