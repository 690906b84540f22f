#pragma once

// The figures the benchmarks print from their samples.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace bench {

// The nearest-rank percentile: the smallest sample with at least the share `p` of the
// samples at or below it. Needs at least one sample.
inline double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::ceil(p * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// The lower median.
inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

} // namespace bench
