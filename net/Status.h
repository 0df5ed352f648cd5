#pragma once

#include <cstdint>

// Results of every layer operation. A Receive returns the status of the
// highest layer that the packet reached.
inline constexpr std::int32_t PROTO_OK = 0;
inline constexpr std::int32_t PROTO_E_IO = -1;         // bridge device read or write failed
inline constexpr std::int32_t PROTO_E_BUSY = -2;       // table slot already taken
inline constexpr std::int32_t PROTO_E_NOENT = -3;      // nobody registered under the index
inline constexpr std::int32_t PROTO_E_INVAL = -4;      // bad argument or packet too short
inline constexpr std::int32_t PROTO_E_NOMEM = -5;      // allocation failed
inline constexpr std::int32_t PROTO_E_UNRESOLVED = -6; // no hardware address for the destination
inline constexpr std::int32_t PROTO_E_MALFORMED = -7;  // a content check failed
inline constexpr std::int32_t PROTO_E_NOTFORUS = -8;   // not addressed to this host
inline constexpr std::int32_t PROTO_E_NOLAYER = -9;    // no neighbouring layer to pass to
inline constexpr std::int32_t PROTO_NOT_HANDLED = INT32_MIN; // not supported / took no part
