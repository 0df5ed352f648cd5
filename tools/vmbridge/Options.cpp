#include "Options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace vmbridge {
namespace {

const char kUsage[] =
    "usage: vmbridge [options] [PATH]\n"
    "Serves PATH (default /dev/vm-bridge, a regular file, created when missing)\n"
    "as a virtual bridge device: one port per attached descriptor.\n"
    "  --ports N       attached device ports allowed at once (default 32)\n"
    "  --queue N       frames waiting per port before drops (default 256)\n"
    "  --tap NAME      add a TAP interface NAME as a port (repeatable)\n"
    "  --pcap FILE     write every switched frame to FILE (pcap, Ethernet)\n"
    "  --ready-fd N    write \"ready\\n\" to descriptor N and close it once serving\n"
    "Counters go to stderr on SIGUSR1 and at exit; SIGTERM or SIGINT unmount and end.\n";

template <typename T> bool parseNumber(const char *text, T &value) {
    const char *end = text + std::strlen(text);
    auto [rest, error] = std::from_chars(text, end, value);
    return error == std::errc() && rest == end && rest != text;
}

} // namespace

bool parseOptions(int argc, char **argv, Options &options) {
    bool pathSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            options.help = true;
            return true;
        } else if (arg == "--ports" && hasValue) {
            ok = parseNumber(argv[++i], options.portLimit);
        } else if (arg == "--queue" && hasValue) {
            ok = parseNumber(argv[++i], options.queueLimit) && options.queueLimit > 0;
        } else if (arg == "--tap" && hasValue) {
            options.taps.emplace_back(argv[++i]);
        } else if (arg == "--pcap" && hasValue) {
            options.pcapPath = argv[++i];
        } else if (arg == "--ready-fd" && hasValue) {
            ok = parseNumber(argv[++i], options.readyFd) && options.readyFd >= 0;
        } else if (!arg.starts_with("-") && !pathSeen) {
            options.path = arg;
            pathSeen = true;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "vmbridge: bad argument near '%s'\n%s", argv[i], kUsage);
            return false;
        }
    }
    return true;
}

} // namespace vmbridge
