#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Prints as the console reporter does and keeps the median real time of each
// benchmark by name, for the ratios a benchmark program prints at the end.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(std::vector<Run> const& runs) override {
        for (Run const& run : runs) {
            if (run.aggregate_name == "median") {
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The ratio of the two medians; 0 when either is missing.
    double ratio(std::string const& numerator, std::string const& denominator) const {
        auto const top = medians.find(numerator);
        auto const bottom = medians.find(denominator);
        if (top == medians.end() || bottom == medians.end() || bottom->second <= 0) {
            return 0;
        }
        return top->second / bottom->second;
    }

    std::map<std::string, double> medians;
};
