#pragma once

#include "ScopeRenewRecord.h"

#include <cstddef>

// One service per host adapter. The service holds a write lock on the
// adapter's lock file for its whole life: an open file description lock
// (F_OFD_SETLK), taken by the start-up process before the fork, so that the
// service inherits it and no moment exists in which the adapter is unclaimed
// or claimed twice. The kernel drops the lock with the service's last
// descriptor, however it ends, so a stale file never blocks a start. The
// lock lives on a file of its own beside the renew file, not on the renew
// file: that one is replaced by rename, and a lock on its inode would move
// away with the old inode. The file is 0600, so only root can lock it; the
// tools find the service as the process that holds it.
inline constexpr char kLockFilePattern[] = "%s.dhcp-lock.%s"; // install dir, device name
inline constexpr int kServiceLockHeld = -2;

// "<dir>.dhcp-lock.<device>"; false (and path empty) when it doesn't fit.
bool buildLockPath(char (&path)[kRenewPathSize], const char *device, const char *dir = kInstallDir);

// Takes the lock: the descriptor (close-on-exec) that holds it, or
// kServiceLockHeld when a live process holds it already, or -1 when the file
// can't be opened or locked (errno tells).
int takeServiceLock(const char *path);

// At the service's end: removes the file while it is still held, then lets
// go. A start-up that opened the file just before the removal finds the
// name gone after it locked it, and takes the lock on a fresh file.
void releaseServiceLock(const char *path, int fd);
