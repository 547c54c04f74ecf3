// Figures of a benchmark's rounds: the least, the middle and the greatest value,
// printed beside the reference measured in the same run.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kal::test {

struct TSpread {
    double Min = 0;
    double Median = 0;
    double Max = 0;
};

inline TSpread Spread(std::vector<double> values) {
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {values.front(), median, values.back()};
}

// "  label    : min / median / max unit"
inline void PrintSpread(const char* label, const TSpread& spread, const char* unit) {
    std::printf("  %-34s: %9.3f / %9.3f / %9.3f %s\n", label, spread.Min, spread.Median, spread.Max,
                unit);
}

// The measured figures beside their reference, and the ratio of the medians.
inline void PrintBeside(const char* referenceLabel, const TSpread& reference, const char* label,
                        const TSpread& measured, const char* unit) {
    PrintSpread(referenceLabel, reference, unit);
    PrintSpread(label, measured, unit);
    std::printf("  %-34s: %9.2f\n", "ratio of the medians",
                reference.Median > 0 ? measured.Median / reference.Median : 0.0);
}

} // namespace kal::test
