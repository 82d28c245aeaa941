// The utilities beside the matcher: the timing lines, the display mosaic, the PFM maps (round
// trips bit for bit in either byte order, damaged files refused with their reason), the keys
// of a calib.txt, the scene folders, and the process's heap settings. The programs and Python
// call the same units; their own tests only check that they do.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/test_support.h"
#include "util/calib.h"
#include "util/image_file.h"
#include "app/mosaic.h"
#include "util/pfm.h"
#include "util/png_file.h"
#include "app/process.h"
#include "util/scenes.h"

using namespace ondrel_test;

namespace {

// The mosaic of `first` and `second` at least W x H (the first's size): pixel (x, y) of the
// first on the left, of the second W columns on, a 1-channel source repeated into the three
// channels of a colour mosaic. Only those pixels are written, and an empty first source
// writes none.
TEST(Mosaic, TheSourcesSideBySideAndNothingElse) {
  for (int flags = 0; flags < 5; ++flags) {  // 0 .. 3: the colour mosaic of the two colour flags; 4: grey
    const bool grey = flags == 4, first_color = flags & 1, second_color = flags & 2;
    // each image with its own spare bytes at the end of its rows; only 13 x 7 of the second count
    const cv::Mat first = random_image(13, 7, first_color ? CV_8UC3 : CV_8UC1, 1 + flags, 3);
    const cv::Mat second = random_image(15, 9, second_color ? CV_8UC3 : CV_8UC1, 11 + flags, 5);
    cv::Mat mosaic = random_image(29, 10, grey ? CV_8UC1 : CV_8UC3, 21, 2), want = mosaic.clone();
    const auto byte = [](const cv::Mat& m, int y, int x, int k) { return m.ptr(y)[m.channels() * x + k % m.channels()]; };
    for (int y = 0; y < 7; ++y)
      for (int x = 0; x < 13; ++x)
        for (int k = 0, c = want.channels(); k < c; ++k)
          want.ptr(y)[c * x + k] = byte(first, y, x, k), want.ptr(y)[c * (13 + x) + k] = byte(second, y, x, k);
    EXPECT_EQ(grey ? MosaicTwoHorizontalGreyscale(first, second, mosaic)
                   : MosaicTwoHorizontalColor(first, first_color, second, second_color, mosaic), 0);
    EXPECT_TRUE(same_image(mosaic, want)) << "flags " << flags;
    for (const cv::Size size : {cv::Size(0, 4), cv::Size(4, 0)}) {
      EXPECT_EQ(grey ? MosaicTwoHorizontalGreyscale(cv::Mat(size, CV_8UC1), second, mosaic)
                     : MosaicTwoHorizontalColor(cv::Mat(size, first.type()), first_color, second, second_color, mosaic),
                0);
      EXPECT_TRUE(same_image(mosaic, want)) << "flags " << flags << ", an empty first source";
    }
  }
}

// The PFM file of `m` with header `header`: rows bottom to top, each float in the byte order.
std::string pfm_bytes(const cv::Mat& m, const std::string& header, bool little) {
  std::string out = header;
  for (int y = m.rows - 1; y >= 0; --y)
    for (int x = 0; x < m.cols; ++x) {
      uint32_t bits;
      std::memcpy(&bits, &m.at<float>(y, x), 4);
      for (int i = 0; i < 4; ++i) out += static_cast<char>((bits >> (little ? 8 * i : 24 - 8 * i)) & 0xff);
    }
  return out;
}

// In the library's planes NaN marks a pixel without a value, in the file +inf; read back as
// stored or with every +inf and NaN as NaN.
TEST(Pfm, RoundTripsInBothByteOrdersBottomRowFirstWithInfinityInTheFile) {
  TempDir dir;
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 2), cv::Size(7, 5)}) {
    cv::Mat padded(size.height, size.width + 3, CV_32FC1);  // rows with spare floats at their ends
    cv::Mat m = padded(cv::Rect(cv::Point(0, 0), size));
    cv::randu(m, -1000.0f, 1000.0f);
    m.at<float>(0, 0) = std::numeric_limits<float>::quiet_NaN();
    cv::Mat stored = m.clone(), odd_nan = m.clone();
    stored.at<float>(0, 0) = INFINITY;
    const uint32_t payload = 0x7fa00001u;
    std::memcpy(&odd_nan.at<float>(0, 0), &payload, 4);
    const std::string head = "Pf\n" + std::to_string(size.width) + " " + std::to_string(size.height) + "\n";
    std::string error;
    ASSERT_TRUE(write_pfm(dir.file("w.pfm"), m, &error)) << error;
    EXPECT_EQ(read_file(dir.file("w.pfm")), pfm_bytes(stored, head + "-1\n", true));
    write_file(dir.file("be.pfm"), pfm_bytes(stored, head + "2.5\n", false));
    write_file(dir.file("nan.pfm"), pfm_bytes(odd_nan, head + "-1\n", true));
    for (const char* name : {"w.pfm", "be.pfm", "nan.pfm"})
      for (const PfmValues values : {PfmValues::kAsStored, PfmValues::kNoValueAsNaN}) {
        cv::Mat back;
        ASSERT_TRUE(read_pfm(dir.file(name), &back, &error, values)) << name << ": " << error;
        ASSERT_EQ(back.size(), size);
        const cv::Mat& want = values == PfmValues::kNoValueAsNaN ? m : name[0] == 'n' ? odd_nan : stored;
        for (int y = 0; y < size.height; ++y)
          EXPECT_EQ(std::memcmp(back.ptr(y), want.ptr(y), 4 * static_cast<size_t>(size.width)), 0) << name << " " << size;
      }
  }
}

TEST(Pfm, DamagedFilesAreRefusedWithTheirReason) {
  const std::string px4(16, '\0');
  const struct Case { std::string bytes, error; } cases[] = {
      {"", "not a PFM file"}, {"P5\n2 2\n255\n1234", "not a PFM file"},
      {"PF\n1 1\n-1\n" + std::string(12, '\0'), "a colour PFM"}, {"Pf\n2 2\n", "header cut short"},
      {"Pf\n2 2\n-1", "header cut short"}, {"Pf\n0 2\n-1\n", "bad size '0 2'"}, {"Pf\n-2 2\n-1\n", "bad size '-2 2'"},
      {"Pf\n2 2x\n-1\n" + px4, "bad size '2 2x'"}, {"Pf\n65537 1\n-1\n", "bad size '65537 1'"},
      {"Pf\n" + std::string(31, '0') + "11 -1\n" + std::string(4, '\0'), "header cut short"},  // width 000..011
      {"Pf\n2 2\n0\n" + px4, "bad scale '0'"}, {"Pf\n2 2\nnan\n" + px4, "bad scale 'nan'"},
      {"Pf\n2 2\n-1e999\n" + px4, "bad scale '-1e999'"},
      {"Pf\n2 2\n-1\n" + px4.substr(4), "cut short: 12 bytes of pixels, expected 16 for 2x2"},
      {"Pf\n2 2\n-1\n" + px4 + "\n", "wrong length: 17 bytes of pixels, expected 16 for 2x2"},
      {"Pf\n65536 65536\n-1\n1234", "cut short: 4 bytes of pixels, expected 17179869184 for 65536x65536"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    write_file(dir.file("d.pfm"), c.bytes);
    cv::Mat m(2, 2, CV_32FC1);
    std::string error;
    EXPECT_FALSE(read_pfm(dir.file("d.pfm"), &m, &error)) << c.bytes;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.bytes << ": " << error;
    EXPECT_TRUE(m.empty()) << c.bytes;
  }
}

// The decoders' formats are told by a file's first bytes; anything else never reaches OpenCV,
// some of whose decoders abort on a damaged file (a PNG signature after 8 other bytes and
// "DICM" at byte 128 went to the DICOM decoder, which asserted).
TEST(ImageFile, OnlyTheFormatsOfViewsAndMapsReachTheDecoders) {
  const cv::Mat image = random_image(4, 3, CV_8UC3, 9);
  const std::string png_bytes = encoded(image), ppm_bytes = encoded(image, ".ppm");
  std::string dicom_marked = png_bytes + std::string(200, '\0');
  dicom_marked.replace(128, 4, "DICM");
  const struct Case { std::string bytes; bool read; } cases[] = {
      {png_bytes, true}, {ppm_bytes, true}, {std::string(8, '\1') + dicom_marked, false},
      {dicom_marked, false}, {"GIF89a" + png_bytes, false}, {"", false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    write_file(dir.file("v.png"), c.bytes);
    const cv::Mat got = read_image_file(dir.file("v.png"), cv::IMREAD_COLOR);
    EXPECT_TRUE(c.read ? same_image(got, image) : testing::AssertionResult(got.empty())) << c.bytes.substr(0, 8);
  }
  EXPECT_TRUE(read_image_file(dir.file("missing.png"), cv::IMREAD_COLOR).empty());
}

// Each case: the text and either what it reads as ("ndisp WxH f cx cy baseline doffs", a
// key not given as -) or the reason it is refused.
TEST(Calib, ReadsItsKeysAndNamesADamagedValue) {
  const std::string camera = "cam0 '[1 0 2; 0 1 3; 0 0]' is not a camera matrix [f 0 cx; 0 f cy; 0 0 1] with f > 0";
  const struct Case { const char* text; std::string expected; } cases[] = {
      {"cam0=[3997.684 0 1176.728; 0 3997.684 1011.728; 0 0 1]\ncam1=[x]\ndoffs=131.111\nbaseline=193.001\n"
       "width=2964\nheight=1988\nndisp=280\nvmin=31\n", "280 2964x1988 3997.684 1176.728 1011.728 193.001 131.111"},
      {"ndisp=107\r\nvmin=oops\r\n", "107 0x0 - - - - 0"}, {"  ndisp =  64 \t\nno equals sign here\n\n", "64 0x0 - - - - 0"},
      {"ndisp=9\ncam0 = [ 5e2 0 -1.5 ;0 500 +2 ; 0 0 1 ]\r\ndoffs=-3\n", "9 0x0 500 -1.5 2 - -3"},
      {"ndisp=536870912", "536870912 0x0 - - - - 0"}, {"", "no ndisp (the number of disparities)"},
      {"width=10\nheight=5\n", "no ndisp (the number of disparities)"}, {"ndisp=7\nndisp=7\n", "ndisp is given twice"},
      {"ndisp=7\nbaseline=1\nbaseline=1\n", "baseline is given twice"},
      {"ndisp=", "ndisp '' is not an integer in 1 .. 536870912"},
      {"ndisp=-5", "ndisp '-5' is not an integer in 1 .. 536870912"},
      {"ndisp=1e3", "ndisp '1e3' is not an integer in 1 .. 536870912"},
      {"ndisp=536870913", "ndisp '536870913' is not an integer in 1 .. 536870912"},
      {"ndisp=99999999999999999999", "ndisp '99999999999999999999' is not an integer in 1 .. 536870912"},
      {"ndisp=10\nwidth=0\n", "width '0' is not an integer in 1 .. 2147483647"},
      {"ndisp=10\nheight=5 px\n", "height '5 px' is not an integer in 1 .. 2147483647"},
      {"ndisp=10\ncam0=[1 0 2; 0 1 3; 0 0]\n", camera},
      {"ndisp=10\ncam0=[0 0 2; 0 1 3; 0 0 1]\n", "cam0 '[0 0 2; 0 1 3; 0 0 1]' is not a camera matrix [f 0 cx; 0 f cy; 0 0 1] with f > 0"},
      {"ndisp=10\ncam0=1 0 2 0 1 3 0 0 1\n", "cam0 '1 0 2 0 1 3 0 0 1' is not a camera matrix [f 0 cx; 0 f cy; 0 0 1] with f > 0"},
      {"ndisp=10\nbaseline=0\n", "baseline '0' is not a number > 0"},
      {"ndisp=10\nbaseline=inf\n", "baseline 'inf' is not a number > 0"},
      {"ndisp=10\nbaseline=1e999\n", "baseline '1e999' is not a number > 0"},
      {"ndisp=10\ndoffs=0x10\n", "doffs '0x10' is not a number"}, {"ndisp=10\ndoffs=1 2\n", "doffs '1 2' is not a number"},
  };
  const auto text_of = [](const Calibration& k) {
    const auto number = [](bool given, double v) {
      std::ostringstream s;
      s.precision(10);
      s << v;
      return given ? s.str() : std::string("-");
    };
    return std::to_string(k.ndisp) + " " + std::to_string(k.width) + "x" + std::to_string(k.height) + " " +
           number(k.has_camera, k.focal) + " " + number(k.has_camera, k.cx) + " " + number(k.has_camera, k.cy) + " " +
           number(k.has_baseline, k.baseline) + " " + number(true, k.doffs);
  };
  for (const Case& c : cases) {
    Calibration k;
    k.ndisp = -1;  // kept on a refusal
    std::string reason;
    const bool ok = parse_calib(c.text, &k, &reason);
    EXPECT_EQ(ok ? text_of(k) : reason, c.expected) << c.text;
    EXPECT_TRUE(ok || k.ndisp == -1) << c.text;
  }
  TempDir dir;
  Calibration k;
  std::string reason;
  EXPECT_FALSE(read_calib(dir.file("none.txt"), &k, &reason));
  EXPECT_EQ(reason, "missing");
  write_file(dir.file("calib.txt"), "ndisp=12\n");
  EXPECT_TRUE(read_calib(dir.file("calib.txt"), &k, &reason) && k.ndisp == 12) << reason;
}

// A scene is a folder (not hidden) with im0.png, im1.png and calib.txt as files; a KITTI pair
// two files image_2/<name>.png and image_3/<name>.png.
TEST(Scenes, FoldersWithBothViewsAndACalibrationAndKittiPairsInNameOrder) {
  TempDir dir;
  const auto scene = [&](const std::string& name, std::vector<std::string> files) {
    ASSERT_EQ(::mkdir(dir.file(name).c_str(), 0777), 0);
    for (const std::string& f : files)
      if (f.back() == '/') ASSERT_EQ(::mkdir(dir.file(name + "/" + f).c_str(), 0777), 0);
      else write_file(dir.file(name + "/" + f), "x");
  };
  scene("b", {"im0.png", "im1.png", "calib.txt"});
  scene("a b", {"im0.png", "im1.png", "calib.txt", "disp0GT.pfm"});
  scene(".hidden", {"im0.png", "im1.png", "calib.txt"});
  scene("no_calib", {"im0.png", "im1.png"});
  scene("folder_calib", {"im0.png", "im1.png", "calib.txt/"});
  scene("B", {"im0.png", "im1.png", "calib.txt"});
  write_file(dir.file("im0.png"), "x");
  std::vector<std::string> names;
  std::string reason;
  ASSERT_TRUE(find_scenes(dir.path, &names, &reason)) << reason;
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a b", "b"}));
  EXPECT_TRUE(find_scenes(dir.file("no_calib"), &names, &reason) && names.empty());
  EXPECT_FALSE(find_scenes(dir.file("none"), &names, &reason));
  EXPECT_EQ(reason, std::strerror(ENOENT));

  // KITTI: image_2/<name>.png with a file image_3/<name>.png
  scene("k", {"image_2/", "image_3/"});
  for (const char* f : {"image_2/000001_10.png", "image_3/000001_10.png", "image_2/000000_10.png",
                        "image_3/000000_10.png", "image_2/000002_10.png", "image_2/.h.png", "image_3/.h.png",
                        "image_2/a.jpg", "image_3/a.jpg", "image_2/.png", "image_3/.png"})
    write_file(dir.file(std::string("k/") + f), "x");
  ASSERT_EQ(::mkdir(dir.file("k/image_2/d.png").c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(dir.file("k/image_3/d.png").c_str(), 0777), 0);
  ASSERT_TRUE(find_kitti_pairs(dir.file("k"), &names, &reason)) << reason;
  EXPECT_EQ(names, (std::vector<std::string>{"000000_10", "000001_10"}));
  EXPECT_FALSE(find_kitti_pairs(dir.file("b"), &names, &reason));
  EXPECT_EQ(reason, std::strerror(ENOENT));
}

#if defined(__GLIBC__) && !defined(ONDREL_SANITIZED)  // the sanitizers bring their own allocator
// The flags of the mapping that holds address `at`, from /proc/self/smaps ("" if none is found).
std::string mapping_flags(const void* at) {
  std::ifstream smaps("/proc/self/smaps");
  const uintptr_t a = reinterpret_cast<uintptr_t>(at);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long lo, hi;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2 && line.find(':') > line.find(' ')) inside = lo <= a && a < hi;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

// A block of 30 MiB, which glibc maps by default (and unmaps on release), comes from the
// heap; the heap that serves the next blocks is marked for huge pages where the kernel has
// them, and the part asked for is resident at once (more than one of the blocks it takes).
TEST(Process, FreedMemoryStaysWithTheProcessOnHugePages) {
  const long before = resident_kib();
  keep_freed_memory_for_reuse(48 << 20);
  EXPECT_GE(resident_kib() - before, 48 << 10);
  const size_t mapped = mallinfo2().hblks;
  void* block = std::malloc(30 << 20);
  EXPECT_EQ(mallinfo2().hblks, mapped);
  std::free(block);
  void* small = std::malloc(4 << 20);
  if (std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
    const std::string flags = mapping_flags(static_cast<char*>(small) + (2 << 20));  // past the unaligned start
    EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
  }
  std::free(small);
}
#endif

// A write that SIGINT or SIGTERM ends once its file exists leaves the folder as it was (the
// earlier file byte for byte, no temporary), both with O_TMPFILE and with the named temporary
// of file systems without it; a name of up to the file-name limit is written and replaced.
TEST(FileWriting, ASignalLeavesNoTemporaryAndNamesUpToTheLimitAreWritten) {
  // the last case: a program that handles SIGINT itself (ondrel-match's batches do) sees the write finish
  struct Case { bool named; int signal; bool earlier, handled; };
  std::vector<Case> cases;
  for (bool named : {false, true})
    for (int signal : {SIGINT, SIGTERM})
      for (bool earlier : {false, true}) cases.push_back({named, signal, earlier, false});
  cases.push_back({true, SIGINT, false, true});
  static int signal_sent;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.named ? "named" : "O_TMPFILE") << ", signal " << c.signal << ", earlier "
                                    << c.earlier << ", handled " << c.handled);
    TempDir dir;
    const std::string path = dir.file("map.pfm");
    if (c.earlier) write_file(path, "earlier");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (c.handled) signal(SIGINT, [](int) {});
      signal_sent = c.signal;
      set_file_writing_for_tests(c.named, [] { raise(signal_sent); });
      std::string reason;
      _exit(write_file_completely(path, "later", 5, &reason) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(c.handled ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                          : WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    EXPECT_EQ(files_in(dir.path), c.earlier || c.handled ? std::vector<std::string>{"map.pfm"} : std::vector<std::string>{});
    EXPECT_EQ(read_file(path), c.handled ? "later" : c.earlier ? "earlier" : "");
  }
  for (bool named : {false, true}) {
    set_file_writing_for_tests(named, nullptr);
    TempDir dir;
    const std::string longest(255, 'n');
    std::string reason;
    for (const char* bytes : {"first", "second"}) {
      EXPECT_TRUE(write_file_completely(dir.file(longest), bytes, std::strlen(bytes), &reason)) << reason;
      EXPECT_EQ(read_file(dir.file(longest)), bytes);
    }
    EXPECT_FALSE(write_file_completely(dir.file(longest + "n"), "x", 1, &reason));
    EXPECT_EQ(reason, std::strerror(ENAMETOOLONG));
    EXPECT_EQ(files_in(dir.path), std::vector<std::string>{longest});
  }
  set_file_writing_for_tests(false, nullptr);
}

}  // namespace
