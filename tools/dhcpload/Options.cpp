#include "Options.h"

#include "AddressParse.h"

#include <charconv>
#include <cstdlib>
#include <random>

namespace {

template <typename T> bool parseNumber(const std::string &text, T &value) {
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end;
}

bool parseDouble(const std::string &text, double &value) {
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && value >= 0;
}

// Fields of one base, each at most max, joined by a separator and nothing
// else around them. from_chars refuses a number too large for its type
// instead of wrapping it, as sscanf does.
bool parseFields(const std::string &text, char separator, int base, unsigned max, unsigned *fields,
                 std::size_t count) {
    const char *p = text.data();
    const char *end = p + text.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (p == end || *p != separator) {
                return false;
            }
            ++p;
        }
        const auto [next, ec] = std::from_chars(p, end, fields[i], base);
        if (ec != std::errc() || fields[i] > max) {
            return false;
        }
        p = next;
    }
    return p == end;
}

bool parseAddressText(const std::string &text, std::uint32_t &value) {
    const std::optional<std::uint32_t> parsed = parseDottedQuad(text);
    value = parsed.value_or(value);
    return parsed.has_value();
}

bool parseMacText(const std::string &text, MacAddr &mac) {
    unsigned b[6];
    if (!parseFields(text, ':', 16, 255, b, 6)) {
        return false;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        mac[i] = static_cast<std::uint8_t>(b[i]);
    }
    return true;
}

} // namespace

const char *usageText() {
    return "usage: dhcpload [--interface IF | --device PATH] [options]\n"
           "Plays simulated guests against a DHCP server: DISCOVER, OFFER, REQUEST, ACK.\n"
           "\n"
           "Link (default: a port of the bridge device /dev/vm-bridge):\n"
           "  --interface IF        raw socket on a Linux interface (veth end, TAP)\n"
           "  --device PATH         bridge device to attach to\n"
           "  --port-name NAME      bridge port name (default dhcpload)\n"
           "  --port-mac MAC        bridge port hardware address (default 06:00:00:00:00:01)\n"
           "  --bridge-reader thread|poll|blocking  a reader thread (default), poll() where\n"
           "                        the bridge driver supports it (the kernel path), or\n"
           "                        blocking reads as the daemon makes them (--respond only)\n"
           "\n"
           "Load:\n"
           "  --guests N            simulated guests, distinct hardware addresses (default 1000)\n"
           "  --exchanges N         exchanges in all; guest k mod N plays exchange k\n"
           "                        (default: one per guest)\n"
           "  --rate R              exchanges started per second; 0 = as fast as possible\n"
           "  --window W            exchanges in flight at most (default 64)\n"
           "  --timeout-ms T        wait for an answer before sending again (default 1000)\n"
           "  --retries K           retransmissions per message before giving up (default 3)\n"
           "  --duration S          start no exchange after S seconds\n"
           "  --mac-seed B          second byte of the guests' addresses 02:B:..(default 0)\n"
           "  --xid-base X          xid of the first exchange (default random)\n"
           "  --broadcast           set the broadcast flag in requests\n"
           "  --json                report as JSON on stdout\n"
           "  --progress            a progress line every second on stderr (always when\n"
           "                        stderr is a terminal)\n"
           "\n"
           "Responder (the link's own limit):\n"
           "  --respond             answer DISCOVER and REQUEST with canned OFFER and ACK\n"
           "  --server-ip A         its address (default 10.1.0.1)\n"
           "  --netmask M           subnet mask it sends (default 255.255.0.0)\n"
           "  --pool-base A         guest ..:a:b:c is given pool-base + a.b.c (default 10.2.0.0)\n"
           "\n"
           "Exit status: 0 done, 1 duplicate addresses or no exchange completed, 2 bad usage\n"
           "or the link could not be opened.\n";
}

bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error) {
    bool exchangesGiven = false;
    bool xidGiven = false;
    std::uint32_t timeoutMs = 1000;
    options.responder.serverAddress = 0x0A010001;
    options.responder.subnetMask = 0xFFFF0000;
    options.responder.poolBase = 0x0A020000;
    options.responder.serverMac = {0x06, 0x00, 0x00, 0x00, 0x00, 0x02};

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &name = args[i];
        const auto value = [&](std::string &out) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        bool ok = true;
        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--progress") {
            options.run.progress = true;
        } else if (name == "--broadcast") {
            options.run.book.broadcastFlag = true;
        } else if (name == "--respond") {
            options.respond = true;
        } else if (!value(v)) {
            return false;
        } else if (name == "--interface") {
            options.interface = v;
        } else if (name == "--device") {
            options.device = v;
        } else if (name == "--port-name") {
            options.portName = v;
        } else if (name == "--port-mac") {
            ok = parseMacText(v, options.portMac);
            options.responder.serverMac = options.portMac;
        } else if (name == "--bridge-reader") {
            ok = v == "poll" || v == "thread" || v == "blocking";
            options.bridgeMode = v == "thread" ? BridgeLink::Mode::kThread
                                 : v == "poll" ? BridgeLink::Mode::kPoll
                                               : BridgeLink::Mode::kBlocking;
        } else if (name == "--guests") {
            ok = parseNumber(v, options.run.book.guests) && options.run.book.guests > 0;
        } else if (name == "--exchanges") {
            ok = parseNumber(v, options.run.book.exchanges);
            exchangesGiven = true;
        } else if (name == "--rate") {
            ok = parseDouble(v, options.run.rate);
        } else if (name == "--window") {
            ok = parseNumber(v, options.run.book.window) && options.run.book.window > 0;
        } else if (name == "--timeout-ms") {
            ok = parseNumber(v, timeoutMs) && timeoutMs > 0;
        } else if (name == "--retries") {
            ok = parseNumber(v, options.run.book.retries);
        } else if (name == "--duration") {
            ok = parseDouble(v, options.run.durationS);
            options.responder.durationS = options.run.durationS;
        } else if (name == "--mac-seed") {
            ok = parseNumber(v, options.run.book.macSeed);
        } else if (name == "--xid-base") {
            ok = parseNumber(v, options.run.book.xidBase);
            xidGiven = true;
        } else if (name == "--server-ip") {
            ok = parseAddressText(v, options.responder.serverAddress);
        } else if (name == "--netmask") {
            ok = parseAddressText(v, options.responder.subnetMask);
        } else if (name == "--pool-base") {
            ok = parseAddressText(v, options.responder.poolBase);
        } else {
            error = "unknown option " + name;
            return false;
        }
        if (!ok) {
            error = "bad value for " + name;
            error += ": ";
            error += v;
            return false;
        }
    }
    // The load runner waits for frames and timeouts in one poll.
    if (options.bridgeMode == BridgeLink::Mode::kBlocking && !options.respond) {
        error = "--bridge-reader blocking is for --respond";
        return false;
    }
    if (!exchangesGiven) {
        options.run.book.exchanges = options.run.book.guests;
    }
    if (!xidGiven) {
        options.run.book.xidBase = std::random_device{}();
    }
    options.run.book.timeoutNs = std::uint64_t{timeoutMs} * 1000000U;
    return true;
}
