#pragma once

#include <cstdint>
#include <net/if.h>

// Gives the host adapter its address and mask (host-order values) over one
// interface request on an AF_INET datagram socket. The adapter is taken down
// first and brought up again only when bringUp is nonzero. 0 when it ran to
// its end (also when no socket could be had), -1 when the address couldn't
// be set. Every failure is logged; nothing here stops the service.
std::int32_t configureAdapter(const char *name, std::uint32_t address, std::uint32_t mask,
                              std::int32_t bringUp);

// Clear or set IFF_UP, keeping every other flag. 0 when done (also for a
// negative socket), -1 when the flags can't be read, -2 when they can't be
// written.
std::int32_t interfaceDown(int sock, struct ifreq *request);
std::int32_t interfaceUp(int sock, struct ifreq *request);
