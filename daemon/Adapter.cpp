#include "Adapter.h"

#include "Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The name may fill all 16 bytes without a NUL (a renew file carries any 16
// bytes there), so messages print a terminated copy, never the field itself.
struct PrintableName {
    explicit PrintableName(const char *name) { std::strncpy(text, name, IFNAMSIZ); }
    char text[IFNAMSIZ + 1]{};
};

std::int32_t changeUpFlag(int sock, struct ifreq *request, bool up) {
    const PrintableName name(request->ifr_name);
    if (sock < 0) {
        vlmLog(LOG_ERR, "Error: invalid socket to interfaceUp for adapter %s!", name.text);
        return 0;
    }
    if (ioctl(sock, SIOCGIFFLAGS, request) < 0) {
        vlmLog(LOG_ERR, "Error getting current flags for adapter %s (%s)", name.text,
               std::strerror(errno));
        return -1;
    }
    if (up) {
        request->ifr_flags = static_cast<short>(request->ifr_flags | IFF_UP);
    } else {
        request->ifr_flags = static_cast<short>(request->ifr_flags & ~IFF_UP);
    }
    if (ioctl(sock, SIOCSIFFLAGS, request) < 0) {
        // The same words as for the read: host managers grep for this line.
        vlmLog(LOG_ERR, "Error getting current flags for adapter %s (%s)", name.text,
               std::strerror(errno));
        return -2;
    }
    return 0;
}

void putAddress(struct ifreq *request, std::uint32_t address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    std::memcpy(&request->ifr_addr, &in, sizeof in);
}

} // namespace

std::int32_t interfaceDown(int sock, struct ifreq *request) {
    return changeUpFlag(sock, request, false);
}

std::int32_t interfaceUp(int sock, struct ifreq *request) {
    return changeUpFlag(sock, request, true);
}

std::int32_t configureAdapter(const char *name, std::uint32_t address, std::uint32_t mask,
                              std::int32_t bringUp) {
    struct ifreq request {};
    std::strncpy(request.ifr_name, name, IFNAMSIZ);
    const PrintableName printable(name);

    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        vlmLog(LOG_ERR, "vlm_dhcp: couldn't open socket for changing DHCP scope for %s",
               printable.text);
        return 0;
    }
    interfaceDown(sock, &request);

    if (ioctl(sock, SIOCGIFADDR, &request) < 0) {
        vlmLog(LOG_ERR, "vlm_dhcp: Error getting current address for adapter %s (%s)",
               printable.text, std::strerror(errno));
    }
    putAddress(&request, address);
    if (ioctl(sock, SIOCSIFADDR, &request) < 0) {
        vlmLog(LOG_ERR, "vlm_dhcp: Couldn't set IP address for adapter %s (%s)", printable.text,
               std::strerror(errno));
        close(sock);
        return -1;
    }

    if (ioctl(sock, SIOCGIFNETMASK, &request) < 0) {
        vlmLog(LOG_ERR, "vlm_dhcp: Error getting current mask for adapter %s (%s)", printable.text,
               std::strerror(errno));
    }
    putAddress(&request, mask);
    if (ioctl(sock, SIOCSIFNETMASK, &request) < 0) {
        vlmLog(LOG_ERR, "vlm_dhcp: Couldn't set net mask for adapter %s (%s)\n", printable.text,
               std::strerror(errno));
    }

    if (bringUp != 0) {
        interfaceUp(sock, &request);
    }
    close(sock);
    return 0;
}
