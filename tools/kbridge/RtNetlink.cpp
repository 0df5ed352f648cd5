#include "RtNetlink.h"

#include <cerrno>
#include <cstring>
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kbridge {

namespace {

// The header macros cast in C style; these are their typed equivalents.
constexpr std::uint32_t align4(std::uint32_t n) {
    return (n + 3U) & ~3U;
}
constexpr std::uint32_t kHeader = align4(sizeof(nlmsghdr));
constexpr std::uint32_t kAttrHeader = align4(sizeof(rtattr));

template <typename T> T *payload(nlmsghdr *header) {
    return reinterpret_cast<T *>(reinterpret_cast<std::uint8_t *>(header) + kHeader);
}

// A request under construction: header, family record, attributes.
struct Request {
    alignas(NLMSG_ALIGNTO) std::uint8_t bytes[512];
    nlmsghdr *header() { return reinterpret_cast<nlmsghdr *>(bytes); }

    Request(std::uint16_t type, std::uint16_t flags, const void *body, std::size_t bodySize) {
        std::memset(bytes, 0, sizeof bytes);
        header()->nlmsg_type = type;
        header()->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
        header()->nlmsg_len = static_cast<std::uint32_t>(kHeader + bodySize);
        std::memcpy(bytes + kHeader, body, bodySize);
    }

    void Attribute(std::uint16_t type, const void *data, std::size_t size) {
        const std::uint32_t at = align4(header()->nlmsg_len);
        auto *attr = reinterpret_cast<rtattr *>(bytes + at);
        attr->rta_type = type;
        attr->rta_len = static_cast<std::uint16_t>(kAttrHeader + size);
        std::memcpy(bytes + at + kAttrHeader, data, size);
        header()->nlmsg_len = align4(at + attr->rta_len);
    }
};

} // namespace

RtNetlink::~RtNetlink() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

int RtNetlink::Open() {
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) {
        return -errno;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        return -errno;
    }
    return 0;
}

int RtNetlink::Transact(void *message, std::uint32_t length) {
    auto *header = static_cast<nlmsghdr *>(message);
    header->nlmsg_seq = ++seq_;
    if (send(fd_, message, length, 0) < 0) {
        return -errno;
    }
    alignas(NLMSG_ALIGNTO) std::uint8_t answer[8192];
    int result = 0;
    for (;;) {
        const ssize_t got = recv(fd_, answer, sizeof answer, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        const auto end = static_cast<std::size_t>(got);
        for (std::size_t at = 0; at + sizeof(nlmsghdr) <= end;) {
            auto *h = reinterpret_cast<nlmsghdr *>(answer + at);
            if (h->nlmsg_len < sizeof(nlmsghdr) || at + h->nlmsg_len > end) {
                break;
            }
            at += align4(h->nlmsg_len);
            if (h->nlmsg_seq != seq_) {
                continue; // the answer to an earlier request that timed out
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto *error = payload<const nlmsgerr>(h);
                return error->error != 0 ? error->error : result;
            }
            if (h->nlmsg_type == RTM_NEWLINK) {
                result = payload<const ifinfomsg>(h)->ifi_index;
            }
        }
    }
}

int RtNetlink::LinkIndex(const std::string &name) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        return -EINVAL;
    }
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    Request request(RTM_GETLINK, 0, &info, sizeof info);
    request.Attribute(IFLA_IFNAME, name.c_str(), name.size() + 1);
    return Transact(request.bytes, request.header()->nlmsg_len);
}

int RtNetlink::LinkRequest(std::uint16_t type, int index) {
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_index = index;
    Request request(type, 0, &info, sizeof info);
    const int result = Transact(request.bytes, request.header()->nlmsg_len);
    return result < 0 ? result : 0;
}

int RtNetlink::LinkExists(int index) {
    return LinkRequest(RTM_GETLINK, index);
}

int RtNetlink::JoinBridge(int index, int master, const std::string &alias) {
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_index = index;
    Request join(RTM_NEWLINK, 0, &info, sizeof info);
    const std::uint32_t masterIndex = static_cast<std::uint32_t>(master);
    join.Attribute(IFLA_MASTER, &masterIndex, sizeof masterIndex);
    if (!alias.empty()) {
        join.Attribute(IFLA_IFALIAS, alias.data(), alias.size());
    }
    int result = Transact(join.bytes, join.header()->nlmsg_len);
    if (result < 0) {
        return result;
    }
    info.ifi_flags = IFF_UP;
    info.ifi_change = IFF_UP;
    Request up(RTM_NEWLINK, 0, &info, sizeof info);
    result = Transact(up.bytes, up.header()->nlmsg_len);
    return result < 0 ? result : 0;
}

int RtNetlink::AddStaticEntry(int index, const std::array<std::uint8_t, 6> &address) {
    ndmsg entry{};
    entry.ndm_family = AF_BRIDGE;
    entry.ndm_ifindex = index;
    entry.ndm_state = NUD_NOARP;
    entry.ndm_flags = NTF_MASTER;
    Request request(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, &entry, sizeof entry);
    request.Attribute(NDA_LLADDR, address.data(), address.size());
    const int result = Transact(request.bytes, request.header()->nlmsg_len);
    return result < 0 ? result : 0;
}

int RtNetlink::DeleteLink(int index) {
    return LinkRequest(RTM_DELLINK, index);
}

} // namespace kbridge
