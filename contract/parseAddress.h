#pragma once

#include <cstdint>

// The rule by which the configuration file's and the renew tool's address
// texts become IPv4 address values (host order, first dotted component in the
// most significant byte): "a.b.c.d" with each
// component 0..255 and nothing behind it, else one hexadecimal number with an
// optional 0x prefix and nothing behind it. Anything else gives 0 and sets
// errno to EINVAL.
std::uint32_t parseAddress(const char *text);
