#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Latency samples of one kind (DISCOVER to OFFER, or REQUEST to ACK), kept
// whole so that percentiles are exact rather than bucketed.
class LatencyStats {
public:
    struct Summary {
        std::size_t count = 0;
        std::uint64_t minNs = 0;
        std::uint64_t medianNs = 0;
        std::uint64_t p99Ns = 0;
        std::uint64_t maxNs = 0;
    };

    void Reserve(std::size_t samples) { samples_.reserve(samples); }
    void Add(std::uint64_t nanoseconds) { samples_.push_back(nanoseconds); }
    std::size_t Count() const { return samples_.size(); }

    // Nearest-rank percentiles: the p-th percentile of n samples is the
    // ceil(p * n / 100)-th smallest, so the median of an even count is the
    // lower middle sample. All zero when there are no samples.
    Summary Summarize() const;

private:
    std::vector<std::uint64_t> samples_;
};
