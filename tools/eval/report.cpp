#include "tools/eval/report.h"

#include <cstdio>

namespace ondrel_eval {

std::vector<Entry> averages(const std::vector<Entry>& entries) {
  std::vector<std::string> labels;
  for (const Entry& e : entries) {
    bool known = false;
    for (const std::string& l : labels) known = known || l == e.map;
    if (!known) labels.push_back(e.map);
  }
  std::vector<Entry> result;
  for (const std::string& label : labels) {
    Entry sum;
    sum.pair = "average";
    sum.map = label;
    for (const Entry& e : entries) {
      if (e.map != label) continue;
      for (int r = 0; r < kRegionCount; ++r) {
        sum.score.region[r].pixels += e.score.region[r].pixels;
        sum.score.region[r].bad += e.score.region[r].bad;
      }
      sum.score.valid.pixels += e.score.valid.pixels;
      sum.score.valid.bad += e.score.valid.bad;
    }
    result.push_back(sum);
  }
  return result;
}

namespace {

// The figures of one line: the three regions, their mean, density, error over valid pixels.
struct Figures {
  double value[6];
};

Figures figures(const Entry& e, const std::vector<Entry>& entries, bool is_average) {
  Figures f{};
  if (!is_average) {
    for (int r = 0; r < kRegionCount; ++r) f.value[r] = e.score.region[r].percent();
    f.value[3] = e.score.average();
    f.value[4] = e.score.density();
    f.value[5] = e.score.valid_error();
    return f;
  }
  // means over the pairs, not over the pooled pixels
  int n = 0;
  for (const Entry& p : entries) {
    if (p.map != e.map) continue;
    const Figures one = figures(p, entries, false);
    for (int i = 0; i < 6; ++i) f.value[i] += one.value[i];
    ++n;
  }
  for (int i = 0; i < 6; ++i) f.value[i] = n > 0 ? f.value[i] / n : 0.0;
  return f;
}

std::string line(const char* format, const std::string& pair, const std::string& map, const Figures& f) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, pair.c_str(), map.c_str(), f.value[0], f.value[1], f.value[2],
                f.value[3], f.value[4], f.value[5]);
  return buffer;
}

}  // namespace

std::string format_table(const std::vector<Entry>& entries) {
  // pair, map, then the six figures: three regions and their mean, density, error over valid pixels
  char header[256];
  std::snprintf(header, sizeof header, "%-8s %-6s %8s %7s %7s %7s %10s %10s\n", "pair", "result", "nonocc", "all",
                "disc", "mean", "density", "valid bad");
  std::string out = std::string(25, ' ') + "bad pixels (%)" + std::string(15, ' ') + "nonocc (%)\n" + header;
  const char* format = "%-8s %-6s %8.2f %7.2f %7.2f %7.2f %10.2f %10.2f\n";
  for (const Entry& e : entries) out += line(format, e.pair, e.map, figures(e, entries, false));
  for (const Entry& e : averages(entries)) out += line(format, e.pair, e.map, figures(e, entries, true));
  return out;
}

std::string format_csv(const std::vector<Entry>& entries, double threshold) {
  std::string out =
      "pair,result,threshold,nonocc,all,disc,mean,density,valid_bad,"
      "nonocc_pixels,nonocc_bad,all_pixels,all_bad,disc_pixels,disc_bad,valid_pixels,valid_bad_pixels\n";
  auto add = [&](const Entry& e, bool is_average) {
    const Figures f = figures(e, entries, is_average);
    char buffer[512];
    const Score& s = e.score;
    std::snprintf(buffer, sizeof buffer,
                  "%s,%s,%g,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%lld,%lld,%lld,%lld,%lld,%lld,%lld,%lld\n",
                  e.pair.c_str(), e.map.c_str(), threshold, f.value[0], f.value[1], f.value[2], f.value[3],
                  f.value[4], f.value[5], s.region[kNonocc].pixels, s.region[kNonocc].bad, s.region[kAll].pixels,
                  s.region[kAll].bad, s.region[kDisc].pixels, s.region[kDisc].bad, s.valid.pixels, s.valid.bad);
    out += buffer;
  };
  for (const Entry& e : entries) add(e, false);
  for (const Entry& e : averages(entries)) add(e, true);
  return out;
}

}  // namespace ondrel_eval
