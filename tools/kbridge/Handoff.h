#pragma once

#include <cstddef>
#include <string>
#include <sys/un.h>

namespace kbridge {

// How a launcher hands its notify listener to the supervisor: it connects to
// the supervisor's socket (AF_UNIX, SOCK_SEQPACKET, a path both can reach)
// and sends one message, kListenerMessage, carrying two descriptors: the
// listener and its own network namespace, where the ports' TAP interfaces
// and the bridge live. The supervisor answers kAccepted, or a line that
// begins with kRefused and says why.
namespace handoff {
inline constexpr char kListenerMessage[] = "listener";
inline constexpr char kAccepted[] = "ok";
inline constexpr char kRefused[] = "refused: ";
inline constexpr std::size_t kDescriptors = 2;
inline constexpr std::size_t kMaxMessage = 256;
} // namespace handoff

// The address of the supervisor's socket at path, zero-filled. Returns false
// with errno ENAMETOOLONG when the path and its terminator do not fit.
bool socketAddress(const std::string &path, sockaddr_un &address);

// One message with up to handoff::kDescriptors descriptors. Returns false
// with errno set on failure.
bool sendWithDescriptors(int socket, const std::string &text, const int *fds, std::size_t count);
// Receives one message; descriptors that came with it land in fds (the rest
// are -1) with close-on-exec set. Returns false at end of stream or on error.
bool receiveWithDescriptors(int socket, std::string &text, int *fds, std::size_t capacity);

} // namespace kbridge
