#pragma once

#include "LoadRunner.h"
#include "Responder.h"

#include <string>

// Derived figures of a run, computed in one place for both report formats.
struct RunFigures {
    double exchangesPerSecond = 0;
    double dropsPercent = 0;           // messages sent that no answer followed in time
    double failedExchangesPercent = 0; // exchanges that ended without an ACK
};

RunFigures computeFigures(const RunResult &result);
std::string formatText(const RunResult &result);
std::string formatJson(const RunResult &result);
std::string formatResponderText(const ResponderCounters &counters);
std::string formatResponderJson(const ResponderCounters &counters);
