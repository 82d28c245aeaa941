// The figures of ondrel-eval as an aligned table and as CSV.
#pragma once

#include <string>
#include <vector>

#include "tools/eval/evaluation.h"

namespace ondrel_eval {

struct Entry {
  std::string pair;  // "Tsukuba", ...
  std::string map;   // "map" (Result_<Pair>.png) or "SMP" (Result_<Pair>_SMP.png)
  Score score;
};

// One "average" entry per map label (in the order the labels first occur): every figure is
// the mean over the entries with that label, so its mean column is the mean of all their
// region percentages (the twelve figures for four pairs). The counts are sums.
std::vector<Entry> averages(const std::vector<Entry>& entries);

// The table for standard output: a header, one line per entry, then the averages.
// Percentages with two decimals.
std::string format_table(const std::vector<Entry>& entries);

// The same lines as CSV with a header line, percentages with four decimals, and the pixel
// counts behind them.
std::string format_csv(const std::vector<Entry>& entries, double threshold);

}  // namespace ondrel_eval
