#pragma once

// The rows that scripts/bench prints as one table: what was measured, the
// program's figure, the baseline's, their ratio, the target and whether it
// was met. Each benchmark program prints its own rows; scripts/bench prints
// the heading once above them.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A target of 0 is a row for information, judged against nothing.
inline bool printRow(const std::string &what, double value, double baseline, const char *unit,
                     double target, int decimals = 1)
{
    const double ratio = baseline > 0 ? value / baseline : 0;
    const bool met = target <= 0 || ratio <= target;
    char a[32], b[32], t[16];
    std::snprintf(a, sizeof a, "%.*f %s", decimals, value, unit);
    std::snprintf(b, sizeof b, "%.*f %s", decimals, baseline, unit);
    if (target > 0)
        std::snprintf(t, sizeof t, "<= %.1f", target);
    else
        std::snprintf(t, sizeof t, "-");
    std::printf("%-46s %12s %12s %6.2f %7s  %s\n", what.c_str(), a, b, ratio, t,
                target <= 0 ? "-" : met ? "yes" : "NO");
    std::fflush(stdout);
    return met;
}

} // namespace bench
