// Summaries shared by the benchmark programs: every subject is measured side by side with its
// floor in the same run, and the ratio of their medians is what the figures quote.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace VrxBench {

inline double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

inline LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now;
}

// Sorts `values` and prints "<label> min median max <unit>"; returns the median.
inline double Summarise(const char* label, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    const double median = values[values.size() / 2];
    std::printf("%-34s min %10.2f  median %10.2f  max %10.2f  %s\n", label, values.front(), median,
                values.back(), unit);
    return median;
}

inline void PrintRatio(const char* subject, double ratio, const char* target) {
    std::printf("%-34s ratio to floor %.2fx (target %s)\n", subject, ratio, target);
}

}  // namespace VrxBench
