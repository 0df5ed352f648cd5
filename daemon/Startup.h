#pragma once

#include "ScopeRenewRecord.h"

// The start-up process: options, configuration, scope, and the service
// launcher. Returns the process's exit status (0 forked, disabled or service
// ended; 1 bad arguments; 2 unreadable configuration; 3 service not started).
int vlmMain(int argc, char **argv);

inline constexpr char kDefaultConfigPath[] = "/usr/lib/velmarind/.dhcpd_configuration";
