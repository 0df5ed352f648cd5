#pragma once

#include "ExchangeBook.h"
#include "Link.h"

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

struct RunConfig {
    BookConfig book;
    double rate = 0; // exchanges started per second; 0 starts them as fast as the window allows
    double durationS = 0; // no new exchanges after this many seconds; 0 for no limit
    bool progress = false;
};

struct LinkCounters {
    std::uint64_t framesRead = 0;
    std::uint64_t framesIgnored = 0; // other traffic on the link
    std::uint64_t truncated = 0;
    std::uint64_t badChecksum = 0;
    std::uint64_t malformed = 0;
    std::uint64_t sendErrors = 0;
};

struct RunResult {
    std::string link;
    RunConfig config;
    double elapsedS = 0; // first DISCOVER to the end of the last exchange
    BookCounters counters;
    LinkCounters linkCounters;
    LatencyStats::Summary offerLatency;
    LatencyStats::Summary ackLatency;
    std::vector<std::uint32_t> duplicateExamples;
    bool linkFailed = false;
    bool interrupted = false;
};

// Plays the configured exchanges over the link until all have ended (or the
// duration ran out, or stop became non-zero) and returns what happened.
RunResult runLoad(Link &link, const RunConfig &config, const volatile std::sig_atomic_t &stop);
