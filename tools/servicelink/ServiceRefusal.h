#pragma once

#include "RenewRecordFile.h"
#include "ServiceProcess.h"

#include <cstdint>
#include <string>

// What the programs beside the daemon say, and how they exit, when the
// renew record does not lead them to a running service. Both manual pages
// list these statuses with the same meaning.
inline constexpr int kExitNoRenewFile = 3;
inline constexpr int kExitMalformedRecord = 4;
inline constexpr int kExitServiceNotRunning = 5;

// 0 when the record was read; else says why on stderr, as `tool`, and
// returns kExitNoRenewFile or kExitMalformedRecord.
int reportRecordRead(const char *tool, const RecordReadResult &result, const std::string &path,
                     const std::string &device);

// Says on stderr why the pid the record names is not the service, and
// returns kExitServiceNotRunning.
int reportNotService(const char *tool, const ProcessInfo &info, std::int32_t pid,
                     const std::string &path, const ServiceClaim &claim);
