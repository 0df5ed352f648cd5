#pragma once

#include "ScopeRenewRecord.h"

#include <cstddef>
#include <sys/types.h>

// Readable by anyone: the tools and host managers read the record.
inline constexpr mode_t kRenewFileMode = 0644;

// "<dir>.dhcp.<device>" into path. A device name so long that the path would
// not fit leaves path empty and returns false: every later open, read and
// removal then fails with its own message, as for a file that couldn't be
// created. The path is never cut short, which could name another file.
bool buildRenewPath(char (&path)[kRenewPathSize], const char *device,
                    const char *dir = kInstallDir);

// Replaces the file (mode 0644) with one holding the record, through a
// temporary file in the same folder; on failure logs the creation message
// and leaves the old file as it was.
void writeRenewFile(const char *path, const ScopeRenewRecord &record);
// Reads up to 40 bytes straight into the record: a short read keeps the
// record's old tail. -1 only when the file can't be opened.
int readRenewFile(const char *path, ScopeRenewRecord &record);
void removeRenewFile(const char *path);
