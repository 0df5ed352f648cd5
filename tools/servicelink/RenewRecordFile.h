#pragma once

#include "ScopeRenewRecord.h"

#include <cstddef>
#include <string>
#include <string_view>

// Reading and replacing a service's scope renew file from outside the service.
// The service reads the file with one unlocked read whenever it gets SIGHUP,
// so a new record must appear whole: it is written to a temporary file in the
// same directory and renamed over the old one.

enum class RecordRead {
    ok,
    missing,    // no such file: no service runs for that device
    unreadable, // any other failure to open or read
    wrongSize,  // not exactly one record
};

struct RecordReadResult {
    RecordRead status;
    int error;        // errno for missing and unreadable, else 0
    std::size_t size; // bytes found, up to one more than a record
};

// The renew file of a device: the install directory (ending in '/') followed
// by ".dhcp." and the device name, as the service builds it; empty when the
// name is too long for the service to have a renew file at all.
std::string renewFilePath(const std::string &installDir, const std::string &device);

// The adapter's lock file, which the running service holds (ServiceLock.h),
// beside its renew file; empty when the name is too long.
std::string lockFilePath(const std::string &installDir, const std::string &device);

// A device name the tool may put into a path: not empty and without '/', so
// that the path cannot leave the install directory.
bool isUsableDeviceName(std::string_view device);

RecordReadResult readRecordFile(const std::string &path, ScopeRenewRecord &record);

// Writes the record to a temporary file beside path (mode 0644), then renames
// it over path. Returns 0, or the errno of the step that failed; the temporary
// file is removed on failure.
int replaceRecordFile(const std::string &path, const ScopeRenewRecord &record);
