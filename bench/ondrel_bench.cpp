// ondrel-bench: how long the matcher takes, phase by phase, on the four stereo pairs, beside
// OpenCV's StereoSGBM (3-way) and StereoBM on the same pairs with the same thread count.
//
//   ondrel-bench [--runs N] [--threads T] [--data DIR] [--minimum] [--scaling] [--scaling-only]
//
// Times are wall-clock medians (with --minimum: minima) of N runs after one warm-up run that
// is dropped. The matcher's
// time is the whole ondrel::match call (the three float planes the console program's bytes
// come from); its phases are the call's own Timings. Excluded: image loading, creating the
// outputs, the grey conversion for StereoBM.
//
// Peak memory is measured in a fresh process per pair (this program run again with
// --memory-probe), so that earlier runs cannot hide or inflate it: the peak resident size
// during one call above the resident size just before it, plus the five images.
//
// --scaling runs Teddy enlarged 2x and 4x with 60 and with 60 x factor disparities, Teddy
// tiled 2 x 2 and 4 x 4 times with 60, and a synthetic 2880 x 1988 pair with 400, and prints
// the aggregation phase's time per step, of H (W - x0) (max_disparity + 1) nblocks steps, and
// the size the whole cost volume would have.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <ondrel/ondrel.h>
#include <ondrel/opencv.h>

#include "matcher/memory.h"
#include "app/process.h"

namespace {

// The example answers of the program.
constexpr int kSupportRadius = 19, kBlockRadius = 6, kGammaSpace = 14, kGammaColor = 23, kTad = 53;
// Peers: SGBM in 3-way mode with 5x5 blocks; BM with 15x15 blocks on grey images.
constexpr int kSgbmBlock = 5, kBmBlock = 15;

struct Pair {
  const char* name;
  int max_disparity;
};
const Pair kPairs[] = {{"Tsukuba", 15}, {"Venus", 19}, {"Teddy", 59}, {"Cones", 59}};

struct Options {
  int runs = 7;
  int threads = 0;  // 0: number of processors
  std::string data = ONDREL_DATA_DIR;
  bool scaling = false, four_pairs = true;
};

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

bool g_use_minimum = false;  // --minimum: report the fastest run instead of the median

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  if (g_use_minimum) return v[0];
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Phases of one matcher call, seconds.
enum Phase { kTables, kBlockMeans, kAggregation, kRelease, kTotal, kPhaseCount };
const char* const kPhaseNames[kPhaseCount] = {"tables", "means", "cost+agg", "release", "total"};

struct Outputs {
  cv::Mat disparity, uniqueness, right_disparity;  // CV_32FC1
};

ondrel::Parameters parameters_of(int max_disparity) {
  ondrel::Parameters p;
  p.max_disparity = max_disparity;
  p.support_radius = kSupportRadius;
  p.block_radius = kBlockRadius;
  p.gamma_space = kGammaSpace;
  p.gamma_color = kGammaColor;
  p.tad_threshold = kTad;
  return p;
}

// One call into out (allocated here); its phases' seconds into phases (may be null).
bool run_matcher(const cv::Mat& left, const cv::Mat& right, int max_disparity, Outputs* out,
                 double phases[kPhaseCount]) {
  cv::Mat* planes[3] = {&out->disparity, &out->uniqueness, &out->right_disparity};
  for (cv::Mat* m : planes) m->create(left.size(), CV_32FC1);
  ondrel::DisparityPlanes o;
  o.disparity = ondrel::plane_of(out->disparity);
  o.uniqueness = ondrel::plane_of(out->uniqueness);
  o.right_disparity = ondrel::plane_of(out->right_disparity);
  ondrel::Timings t;
  const Clock::time_point begin = Clock::now();
  const ondrel::Status status =
      ondrel::match(ondrel::view_of(left), ondrel::view_of(right), parameters_of(max_disparity), {}, o, &t);
  const Clock::time_point end = Clock::now();
  if (!status.ok()) return std::fprintf(stderr, "%s\n", status.message), false;
  if (phases) {
    phases[kTables] = t.initialization;
    phases[kBlockMeans] = t.block_means;
    phases[kAggregation] = t.aggregation;
    phases[kRelease] = t.matching - t.block_means - t.aggregation;
    phases[kTotal] = seconds(begin, end);
  }
  return true;
}

int round_up_16(int n) { return (n + 15) / 16 * 16; }

struct PeerTimes {
  double sgbm, bm;
};

// The two peers set up for one pair; each call of run() times one computation of each.
struct Peers {
  cv::Ptr<cv::StereoSGBM> sgbm;
  cv::Ptr<cv::StereoBM> bm;
  cv::Mat left, right, grey_left, grey_right, disparity;
  Peers(const cv::Mat& l, const cv::Mat& r, int max_disparity) : left(l), right(r) {
    const int ndisp = round_up_16(max_disparity + 1);
    sgbm = cv::StereoSGBM::create(0, ndisp, kSgbmBlock, 8 * 3 * kSgbmBlock * kSgbmBlock,
                                  32 * 3 * kSgbmBlock * kSgbmBlock, 0, 0, 0, 0, 0, cv::StereoSGBM::MODE_SGBM_3WAY);
    bm = cv::StereoBM::create(ndisp, kBmBlock);
    cv::cvtColor(left, grey_left, cv::COLOR_BGR2GRAY);
    cv::cvtColor(right, grey_right, cv::COLOR_BGR2GRAY);
  }
  PeerTimes run() {
    PeerTimes t{};
    Clock::time_point start = Clock::now();
    sgbm->compute(left, right, disparity);
    t.sgbm = seconds(start, Clock::now());
    start = Clock::now();
    bm->compute(grey_left, grey_right, disparity);
    t.bm = seconds(start, Clock::now());
    return t;
  }
};

// Median phase times of `runs` matcher calls after one warm-up; false when a call fails.
// With `peers`, each matcher call is followed by one run of each peer, so that both see the
// same state of the machine, and their medians go to *peer_times.
bool time_matcher(const cv::Mat& left, const cv::Mat& right, int max_disparity, int runs,
                  double result[kPhaseCount], Outputs* out, Peers* peers = nullptr, PeerTimes* peer_times = nullptr) {
  std::vector<double> samples[kPhaseCount], sgbm, bm;
  for (int i = 0; i <= runs; ++i) {  // run 0 is the warm-up
    double phases[kPhaseCount];
    if (!run_matcher(left, right, max_disparity, out, phases)) return false;
    const PeerTimes p = peers ? peers->run() : PeerTimes{};
    if (i == 0) continue;
    for (int k = 0; k < kPhaseCount; ++k) samples[k].push_back(phases[k]);
    sgbm.push_back(p.sgbm);
    bm.push_back(p.bm);
  }
  for (int k = 0; k < kPhaseCount; ++k) result[k] = median(samples[k]);
  if (peer_times) *peer_times = {median(sgbm), median(bm)};
  return true;
}

bool same_bytes(const Outputs& a, const Outputs& b) {
  const auto same = [](const cv::Mat& x, const cv::Mat& y) {  // bytes: NaN is a value here
    if (x.size() != y.size() || x.type() != y.type()) return false;
    for (int r = 0; r < x.rows; ++r)
      if (std::memcmp(x.ptr(r), y.ptr(r), x.cols * x.elemSize()) != 0) return false;
    return true;
  };
  return same(a.disparity, b.disparity) && same(a.uniqueness, b.uniqueness) &&
         same(a.right_disparity, b.right_disparity);
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 10, "model name") == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

double mib(double bytes) { return bytes / (1024.0 * 1024.0); }

// Bytes that one call cannot do without: the cost volume, the six channel planes
// and the five images (two 3-channel 8-bit views, three float outputs).
struct StatedMemory {
  double cost_volume, planes, images;
};
StatedMemory stated_memory(int W, int H, int max_disparity) {
  const double pixels = static_cast<double>(W) * H;
  return {pixels * (max_disparity + 1) * 4.0, 6.0 * pixels * 4.0, pixels * (3 + 3 + 3 * 4)};
}

// Teddy enlarged `factor` times (bilinear), or the pair itself for factor 1; "<pair>-tiled":
// the pair repeated factor x factor times (larger images of the same content, so that the time
// per step shows what the size alone costs); "synthetic": a 2880 x 1988 pair of smoothed
// noise, the right view the left one shifted by 150 columns.
bool load_pair(const std::string& data, const char* name, int factor, cv::Mat* left, cv::Mat* right) {
  if (std::string(name) == "synthetic") {
    cv::Mat noise(1988, 2880 + 150, CV_8UC3);
    cv::RNG rng(20261208);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(noise, noise, cv::Size(5, 5), 1.0);
    *right = noise(cv::Rect(150, 0, 2880, 1988)).clone();
    *left = noise(cv::Rect(0, 0, 2880, 1988)).clone();
    return true;
  }
  const std::string tiled_suffix = "-tiled";
  std::string file = name;
  const bool tiled = file.size() > tiled_suffix.size() &&
                     file.compare(file.size() - tiled_suffix.size(), tiled_suffix.size(), tiled_suffix) == 0;
  if (tiled) file.resize(file.size() - tiled_suffix.size());
  *left = cv::imread(data + "/" + file + "_L.png", cv::IMREAD_COLOR);
  *right = cv::imread(data + "/" + file + "_R.png", cv::IMREAD_COLOR);
  if (left->empty() || right->empty()) return false;
  if (tiled) {
    *left = cv::repeat(*left, factor, factor);
    *right = cv::repeat(*right, factor, factor);
  } else if (factor > 1) {
    cv::resize(*left, *left, cv::Size(), factor, factor, cv::INTER_LINEAR);
    cv::resize(*right, *right, cv::Size(), factor, factor, cv::INTER_LINEAR);
  }
  return true;
}

// Child process: one matcher call; prints "<resident kB before> <peak kB during>".
int memory_probe(const std::string& data, const char* name, int factor, int max_disparity, int threads) {
  cv::Mat left, right;
  if (!load_pair(data, name, factor, &left, &right)) return 1;
  ondrel::internal::ondrel_testing_set_thread_count(threads);
  Outputs out;
  for (cv::Mat* m : {&out.disparity, &out.uniqueness, &out.right_disparity}) m->create(left.size(), CV_32FC1), m->setTo(0);
  // reset the peak to the current size, so that loading the images does not count
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  const long before = status_kb("VmRSS");
  ondrel::DisparityPlanes planes;
  planes.disparity = ondrel::plane_of(out.disparity);
  planes.uniqueness = ondrel::plane_of(out.uniqueness);
  planes.right_disparity = ondrel::plane_of(out.right_disparity);
  const ondrel::Status status =
      ondrel::match(ondrel::view_of(left), ondrel::view_of(right), parameters_of(max_disparity), {}, planes);
  const long peak = status_kb("VmHWM");
  std::printf("%ld %ld\n", before, peak);
  return status.ok() ? 0 : 1;
}

// Runs the memory probe in a fresh process; the matcher's peak above the resident size
// before the call, in bytes, or -1.
double probe_memory(const Options& o, const char* name, int factor, int max_disparity, int threads) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = '\0';
  std::ostringstream command;
  command << "'" << self << "' --memory-probe " << name << " " << factor << " " << max_disparity << " " << threads
          << " --data '" << o.data << "'";
  FILE* pipe = popen(command.str().c_str(), "r");
  if (!pipe) return -1;
  long before = -1, peak = -1;
  const int got = std::fscanf(pipe, "%ld %ld", &before, &peak);
  const int status = pclose(pipe);
  if (got != 2 || status != 0 || before < 0 || peak < before) return -1;
  return static_cast<double>(peak - before) * 1024.0;
}

void set_threads(int threads) {
  ondrel::internal::ondrel_testing_set_thread_count(threads);
  cv::setNumThreads(threads);
}

int four_pairs(const Options& o) {
  const int all = o.threads;
  std::vector<int> counts{1};
  if (all > 1) counts.push_back(all);

  struct Row {
    double ours[2][kPhaseCount];
    PeerTimes peers[2];
    double memory;
    StatedMemory stated;
    bool identical;
  };
  std::vector<Row> rows;
  for (const Pair& pair : kPairs) {
    cv::Mat left, right;
    if (!load_pair(o.data, pair.name, 1, &left, &right)) {
      std::fprintf(stderr, "ondrel-bench: cannot read %s from %s\n", pair.name, o.data.c_str());
      return 1;
    }
    Row row{};
    Outputs first, now;
    for (size_t i = 0; i < counts.size(); ++i) {
      set_threads(counts[i]);
      Peers peers(left, right, pair.max_disparity);
      if (!time_matcher(left, right, pair.max_disparity, o.runs, row.ours[i], i == 0 ? &first : &now,
                        &peers, &row.peers[i])) {
        std::fprintf(stderr, "ondrel-bench: the matcher failed on %s\n", pair.name);
        return 1;
      }
    }
    row.identical = counts.size() == 1 || same_bytes(first, now);
    row.memory = probe_memory(o, pair.name, 1, pair.max_disparity, all);
    row.stated = stated_memory(left.cols, left.rows, pair.max_disparity);
    rows.push_back(row);
  }

  for (size_t i = 0; i < counts.size(); ++i) {
    std::printf("\nTimes in ms, %d thread%s (%s of %d runs):\n\n", counts[i], counts[i] == 1 ? "" : "s",
                g_use_minimum ? "minimum" : "median", o.runs);
    std::printf("| pair    |");
    for (const char* name : kPhaseNames) std::printf(" %8s |", name);
    std::printf(" SGBM-3way |     BM | total/SGBM |\n|---------|");
    for (int p = 0; p < kPhaseCount; ++p) std::printf("---------:|");
    std::printf("----------:|-------:|-----------:|\n");
    double sum[kPhaseCount] = {}, sgbm = 0, bm = 0;
    for (size_t j = 0; j < rows.size(); ++j) {
      const Row& row = rows[j];
      std::printf("| %-7s |", kPairs[j].name);
      for (int p = 0; p < kPhaseCount; ++p) {
        std::printf(" %8.1f |", 1e3 * row.ours[i][p]);
        sum[p] += row.ours[i][p];
      }
      std::printf(" %9.1f | %6.1f | %10.2f |\n", 1e3 * row.peers[i].sgbm, 1e3 * row.peers[i].bm,
                  row.ours[i][kTotal] / row.peers[i].sgbm);
      sgbm += row.peers[i].sgbm;
      bm += row.peers[i].bm;
    }
    std::printf("| all     |");
    for (int p = 0; p < kPhaseCount; ++p) std::printf(" %8.1f |", 1e3 * sum[p]);
    std::printf(" %9.1f | %6.1f | %10.2f |\n", 1e3 * sgbm, 1e3 * bm, sum[kTotal] / sgbm);
  }

  if (counts.size() > 1) {
    std::printf("\nSpeed-up from 1 to %d threads:\n\n", all);
    std::printf("| pair    | aggreg | means | total | SGBM-3way | same bytes |\n");
    std::printf("|---------|-------:|------:|------:|----------:|------------|\n");
    double a1 = 0, a2 = 0, m1 = 0, m2 = 0, t1 = 0, t2 = 0, s1 = 0, s2 = 0;
    bool all_same = true;
    for (size_t j = 0; j < rows.size(); ++j) {
      const Row& row = rows[j];
      std::printf("| %-7s | %6.2f | %5.2f | %5.2f | %9.2f | %-10s |\n", kPairs[j].name,
                  row.ours[0][kAggregation] / row.ours[1][kAggregation],
                  row.ours[0][kBlockMeans] / row.ours[1][kBlockMeans], row.ours[0][kTotal] / row.ours[1][kTotal],
                  row.peers[0].sgbm / row.peers[1].sgbm, row.identical ? "yes" : "NO");
      a1 += row.ours[0][kAggregation], a2 += row.ours[1][kAggregation];
      m1 += row.ours[0][kBlockMeans], m2 += row.ours[1][kBlockMeans];
      t1 += row.ours[0][kTotal], t2 += row.ours[1][kTotal];
      s1 += row.peers[0].sgbm, s2 += row.peers[1].sgbm;
      all_same = all_same && row.identical;
    }
    std::printf("| all     | %6.2f | %5.2f | %5.2f | %9.2f | %-10s |\n", a1 / a2, m1 / m2, t1 / t2, s1 / s2,
                all_same ? "yes" : "NO");
  }

  std::printf("\nPeak memory of one call with %d thread%s (MiB; stated = cost volume + six planes + images):\n\n",
              all, all == 1 ? "" : "s");
  std::printf("| pair    | cost volume | planes | images | stated | peak + images | peak / stated |\n");
  std::printf("|---------|------------:|-------:|-------:|-------:|--------------:|--------------:|\n");
  for (size_t j = 0; j < rows.size(); ++j) {
    const Row& row = rows[j];
    const double stated = row.stated.cost_volume + row.stated.planes + row.stated.images;
    if (row.memory < 0) {
      std::printf("| %-7s | %11.2f | %6.2f | %6.2f | %6.2f | %13s | %13s |\n", kPairs[j].name,
                  mib(row.stated.cost_volume), mib(row.stated.planes), mib(row.stated.images), mib(stated), "n/a",
                  "n/a");
      continue;
    }
    std::printf("| %-7s | %11.2f | %6.2f | %6.2f | %6.2f | %13.2f | %13.2f |\n", kPairs[j].name,
                mib(row.stated.cost_volume), mib(row.stated.planes), mib(row.stated.images), mib(stated),
                mib(row.memory + row.stated.images), (row.memory + row.stated.images) / stated);
  }
  return 0;
}

// Larger images: Teddy enlarged with the program's 60 disparities and with 60 x factor, Teddy
// tiled, and a synthetic 2880 x 1988 pair with 400 disparities, each beside SGBM-3way on the
// same images.
int scaling(const Options& o) {
  set_threads(o.threads);
  std::printf("\nScaling, %d thread%s, %s of %d runs; peak MiB: the matcher's resident memory above what the "
              "process held before the call:\n\n",
              o.threads, o.threads == 1 ? "" : "s", g_use_minimum ? "minimum" : "median", o.runs);
  std::printf("| images | W x H | disparities | ms | ns/aggregation step | peak MiB | full cost volume MiB | "
              "SGBM-3way ms | ratio |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
  struct Case {
    const char* name;
    int factor, ndisp;
  };
  const Case cases[] = {{"Teddy", 1, 60},        {"Teddy", 2, 60},  {"Teddy-tiled", 2, 60},
                        {"Teddy", 2, 120},       {"Teddy", 4, 60},  {"Teddy-tiled", 4, 60},
                        {"Teddy", 4, 240},       {"synthetic", 1, 400}};
  const int per_axis = (2 * kSupportRadius + 1) / (2 * kBlockRadius + 1);
  for (const Case& c : cases) {
    cv::Mat left, right;
    if (!load_pair(o.data, c.name, c.factor, &left, &right)) return 1;
    const int W = left.cols, H = left.rows, max_disparity = c.ndisp - 1;
    const double steps = static_cast<double>(H) * (W - max_disparity) * c.ndisp * per_axis * per_axis;
    double phases[kPhaseCount];
    Outputs out;
    Peers peers(left, right, max_disparity);
    PeerTimes peer{};
    const int runs = W * H > 4000000 ? 1 : o.runs;
    if (!time_matcher(left, right, max_disparity, runs, phases, &out, &peers, &peer)) return 1;
    const double memory = probe_memory(o, c.name, c.factor, max_disparity, o.threads);
    std::printf("| %s x%d | %dx%d | %d | %.0f | %.3f | %.0f | %.0f | %.0f | %.2f |\n", c.name, c.factor, W, H,
                c.ndisp, 1e3 * phases[kTotal], 1e9 * phases[kAggregation] / steps, mib(memory),
                mib(static_cast<double>(W) * H * c.ndisp * 4.0), 1e3 * peer.sgbm, phases[kTotal] / peer.sgbm);
    std::fflush(stdout);
  }
  return 0;
}

int usage() {
  std::fprintf(stderr, "usage: ondrel-bench [--runs N] [--threads T] [--data DIR] [--minimum] [--scaling] "
                       "[--scaling-only]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  keep_freed_memory_for_reuse();  // as the programs do: the calls measured reuse freed memory
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--threads" && i + 1 < argc) {
      o.threads = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--data" && i + 1 < argc) {
      o.data = argv[++i];
    } else if (a == "--minimum") {
      g_use_minimum = true;
    } else if (a == "--scaling") {
      o.scaling = true;
    } else if (a == "--scaling-only") {
      o.scaling = true;
      o.four_pairs = false;
    } else if (a == "--memory-probe" && i + 4 < argc) {
      const char* name = argv[i + 1];
      const int factor = std::atoi(argv[i + 2]), max_disparity = std::atoi(argv[i + 3]),
                threads = std::atoi(argv[i + 4]);
      i += 4;
      for (int j = i + 1; j + 1 < argc; ++j)
        if (std::string(argv[j]) == "--data") o.data = argv[j + 1];
      return memory_probe(o.data, name, factor, max_disparity, threads);
    } else {
      return usage();
    }
  }
  if (o.threads == 0) o.threads = cv::getNumberOfCPUs();

  std::printf("ondrel-bench\n\n");
  std::printf("CPU          : %s, %d logical processors\n", cpu_model().c_str(), cv::getNumberOfCPUs());
  std::printf("load average : %s (at start)\n", load_average().c_str());
  std::printf("threads      : 1 and %d (matcher and OpenCV alike)\n", o.threads);
  std::printf("build        : %s, OpenCV %s\n", __VERSION__, CV_VERSION);
  std::printf("matcher      : R %d, r %d, gamma_space %d, gamma_color %d, TAD %d\n", kSupportRadius, kBlockRadius,
              kGammaSpace, kGammaColor, kTad);
  std::printf("peers        : StereoSGBM MODE_SGBM_3WAY block %d, P1 8*3*%d^2, P2 32*3*%d^2; StereoBM block %d on "
              "grey images; disparities rounded up to a multiple of 16\n",
              kSgbmBlock, kSgbmBlock, kSgbmBlock, kBmBlock);
  std::printf("timing       : wall clock, %s of %d runs after one dropped warm-up run; each matcher run is\n"
              "               followed by one run of each peer, so that all see the same load\n",
              g_use_minimum ? "minimum" : "median", o.runs);
  if (o.four_pairs) {
    std::printf("\n| pair    | W x H   | disparities (ours / peers) |\n|---------|---------|---:|\n");
    for (const Pair& pair : kPairs) {
      cv::Mat left = cv::imread(o.data + "/" + pair.name + "_L.png", cv::IMREAD_COLOR);
      std::printf("| %-7s | %dx%d | %d / %d |\n", pair.name, left.cols, left.rows, pair.max_disparity + 1,
                  round_up_16(pair.max_disparity + 1));
    }
    if (four_pairs(o) != 0) return 1;
  }
  if (o.scaling && scaling(o) != 0) return 1;
  return 0;
}
