// A console reporter that also remembers each benchmark's bytes per second,
// so that a benchmark program can print ratios against a peer measured in
// the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rate_[r.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double rate(const std::string& name) const {
        auto it = rate_.find(name);
        return it == rate_.end() ? 0.0 : it->second;
    }
    // Prints "ours / peer = ratio" with both rates in MB/s.
    void ratio(const char* label, const std::string& ours, const std::string& peer) const {
        double a = rate(ours), b = rate(peer);
        if (a <= 0 || b <= 0) return;
        std::printf("%-40s %9.1f MB/s vs %9.1f MB/s  ratio %.2f\n", label, a / 1e6, b / 1e6, a / b);
    }

  private:
    std::map<std::string, double> rate_;
};
