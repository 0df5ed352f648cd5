#pragma once

#include "ScopeRenewRecord.h"
#include "ServiceProcess.h"

#include <cstdint>
#include <string>

// The words the tool uses for records (addresses: AddressText.h).

// The adapter name field as text: up to its first NUL, at most 16 bytes, with
// bytes outside printable ASCII shown as \xNN.
std::string adapterNameText(const ScopeRenewRecord &record);

// A few lines describing the record and the address plan it gives.
std::string describeRecord(const ScopeRenewRecord &record, const ProcessInfo &process);
