// The clock and the figures every benchmark reports: medians, and ratios to an
// anchor measured in the same run as min / median / max.
#ifndef MEASURE_H
#define MEASURE_H

#include <time.h>

#include <algorithm>
#include <functional>
#include <iomanip>
#include <ostream>
#include <vector>

namespace Measure {

inline double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Wall time of action, in seconds.
inline double Timed(const std::function<void()>& action) {
    const double start = Now();
    action();
    return Now() - start;
}

// The middle value (the upper one of an even count); 0 for none.
template <typename T>
T Median(std::vector<T> values) {
    if (values.empty()) return T();
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

// Each measure over its anchor of the same round.
inline Spread Ratios(const std::vector<double>& measured, const std::vector<double>& anchors) {
    std::vector<double> ratios;
    for (size_t i = 0; i < measured.size() && i < anchors.size(); ++i) ratios.push_back(measured[i] / anchors[i]);
    if (ratios.empty()) return Spread();
    std::sort(ratios.begin(), ratios.end());
    return Spread{ratios.front(), ratios[ratios.size() / 2], ratios.back()};
}

inline std::ostream& operator<<(std::ostream& out, const Spread& spread) {
    const std::ios::fmtflags flags = out.flags();
    const std::streamsize precision = out.precision();
    out << std::fixed << std::setprecision(2) << spread.min << " / " << spread.median << " / " << spread.max;
    out.flags(flags);
    out.precision(precision);
    return out;
}

}  // namespace Measure

#endif
