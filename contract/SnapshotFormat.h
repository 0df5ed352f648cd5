#pragma once

#include "ScopeRenewRecord.h"

// The lease snapshot: a text file that the service writes on request (SIGUSR1)
// so that operators and host managers can see which guest holds which
// address. The leases themselves stay in memory; the file lives in a memory
// file system and is replaced whole each time.
//
// Besides answering SIGUSR1, the service rewrites the file by itself about a
// second after a lease was bound, a guest's name or client identifier
// changed or an entry was reclaimed (daemon/Service.cpp).
//
// Format, version 2. UTF-8 (in practice ASCII) lines ending in "\n"; each
// line is a key, one blank, and the key's value. Keys are lower case. A
// reader ignores keys it doesn't know, so later versions may add lines; a
// version only adds keys, so a reader takes any version from the one it
// knows up. Version 1 had no guest lines.
//
//   vlm_dhcpd-leases 2                   always first: what the file is, its format version
//   device vnic0                         the rest of the line; bytes outside ! to ~ and
//                                        the backslash are written as \xNN
//   pid 4242                             the service process that wrote it
//   time 1700000000                      when, in seconds since 1970-01-01 UTC
//   monotonic 5123.004000000             when, on CLOCK_MONOTONIC (seconds.nanoseconds),
//                                        to tell whether a snapshot is newer than a request
//   own-address 10.37.129.1              the service's address (the scope start)
//   scope 10.37.129.1 10.37.129.254      scope start and end
//   mask 255.255.255.0
//   counter NAME VALUE                   zero or more, counts since the service started:
//                                        frames-read, discovers-seen, requests-seen,
//                                        offers-sent, acks-sent, naks-sent,
//                                        dropped-malformed, dropped-not-for-us
//   lease ADDRESS HWADDRESS STATE        one per used entry, in ascending address order;
//                                        HWADDRESS as xx:xx:xx:xx:xx:xx (lower case),
//                                        STATE "offered" or "bound"
//   guest ADDRESS FIELD...               after the lease line of ADDRESS when the guest
//                                        said or did anything: blank-separated
//                                        KEY=VALUE fields, each at most once, in this
//                                        order, absent ones left out:
//                                        name=TEXT  option 12, escaped as device is
//                                        client-id=HEX  option 61, lower-case hex
//                                        first-offer=M,U  bound-since=M,U
//                                        last-ack=M,U  last-seen=M,U
//                                        M: seconds on CLOCK_MONOTONIC, U: the same
//                                        moment in seconds since 1970 (derived from
//                                        the time and monotonic lines)
//   end COUNT                            always last: the number of lease lines
//
// A file without its "end" line, or whose count differs, is not a snapshot.

inline constexpr char kSnapshotDir[] = "/run/vlm_dhcpd";
inline constexpr char kSnapshotSuffix[] = ".leases";
inline constexpr char kSnapshotMagic[] = "vlm_dhcpd-leases";
inline constexpr int kSnapshotVersion = 2;

// "<dir>/<device>.leases". A device name that is empty, holds '/' or makes the
// path too long leaves path empty and returns false: every request then fails
// to write, with its log line, and the service serves on.
bool buildSnapshotPath(char (&path)[kRenewPathSize], const char *device,
                       const char *dir = kSnapshotDir);
