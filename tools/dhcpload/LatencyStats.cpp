#include "LatencyStats.h"

#include <algorithm>

namespace {

// Index of the nearest-rank percentile, for 0 < percent <= 100 and n > 0.
std::size_t rankIndex(std::size_t n, std::size_t percent) {
    const std::size_t rank = (percent * n + 99) / 100;
    return rank == 0 ? 0 : rank - 1;
}

} // namespace

LatencyStats::Summary LatencyStats::Summarize() const {
    Summary summary;
    summary.count = samples_.size();
    if (samples_.empty()) {
        return summary;
    }
    std::vector<std::uint64_t> sorted(samples_);
    std::sort(sorted.begin(), sorted.end());
    summary.minNs = sorted.front();
    summary.maxNs = sorted.back();
    summary.medianNs = sorted[rankIndex(sorted.size(), 50)];
    summary.p99Ns = sorted[rankIndex(sorted.size(), 99)];
    return summary;
}
