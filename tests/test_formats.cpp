// The file formats read and written beside the images: PFM maps (round trips bit for bit in
// either byte order, damaged files refused with their reason) and the keys of a calib.txt.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include <opencv2/core.hpp>

#include "tests/support/test_support.h"
#include "util/calib.h"
#include "util/pfm.h"

namespace {

using ondrel_test::TempDir;

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

TEST(Pfm, RoundTripsInBothByteOrdersBottomRowFirst) {
  TempDir dir;
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 2), cv::Size(7, 5)}) {
    cv::Mat m(size, CV_32FC1);
    cv::randu(m, -1000.0f, 1000.0f);
    m.at<float>(0, 0) = INFINITY;  // no value
    const std::string head = "Pf\n" + std::to_string(size.width) + " " + std::to_string(size.height) + "\n";
    std::string error;
    ASSERT_TRUE(write_pfm(dir.file("w.pfm"), m, &error)) << error;
    EXPECT_EQ(ondrel_test::read_file(dir.file("w.pfm")), pfm_bytes(m, head + "-1\n", true));
    std::ofstream(dir.file("be.pfm"), std::ios::binary) << pfm_bytes(m, head + "2.5\n", false);
    for (const char* name : {"w.pfm", "be.pfm"}) {
      cv::Mat back;
      ASSERT_TRUE(read_pfm(dir.file(name), &back, &error)) << name << ": " << error;
      ASSERT_EQ(back.size(), size);
      EXPECT_EQ(std::memcmp(back.data, m.data, 4 * m.total()), 0) << name << " " << size;
    }
  }
}

TEST(Pfm, DamagedFilesAreRefusedWithTheirReason) {
  const std::string px4(16, '\0');
  const struct Case { std::string bytes, error; } cases[] = {
      {"", "not a PFM file"}, {"P5\n2 2\n255\n1234", "not a PFM file"},
      {"PF\n1 1\n-1\n" + std::string(12, '\0'), "a colour PFM"},
      {"Pf\n2 2\n", "header cut short"}, {"Pf\n2 2\n-1", "header cut short"},
      {"Pf\n0 2\n-1\n", "bad size '0 2'"}, {"Pf\n-2 2\n-1\n", "bad size '-2 2'"},
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
    std::ofstream(dir.file("d.pfm"), std::ios::binary) << c.bytes;
    cv::Mat m(2, 2, CV_32FC1);
    std::string error;
    EXPECT_FALSE(read_pfm(dir.file("d.pfm"), &m, &error)) << c.bytes;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.bytes << ": " << error;
    EXPECT_TRUE(m.empty()) << c.bytes;
  }
}

TEST(Calib, ReadsNdispWidthHeightAndNamesADamagedValue) {
  // expected: "ndisp widthxheight" or the reason of the refusal
  const struct Case { const char* text; std::string expected; } cases[] = {
      {"cam0=[3997.684 0 1176.728; 0 3997.684 1011.728; 0 0 1]\ndoffs=131.111\nwidth=2964\nheight=1988\n"
       "ndisp=280\nvmin=31\n", "280 2964x1988"},
      {"ndisp=107\r\nvmin=oops\r\n", "107 0x0"}, {"  ndisp =  64 \t\nno equals sign here\n\n", "64 0x0"},
      {"ndisp=536870912", "536870912 0x0"}, {"", "no ndisp (the number of disparities)"},
      {"width=10\nheight=5\n", "no ndisp (the number of disparities)"}, {"ndisp=7\nndisp=7\n", "ndisp is given twice"},
      {"ndisp=", "ndisp '' is not an integer in 1 .. 536870912"},
      {"ndisp=-5", "ndisp '-5' is not an integer in 1 .. 536870912"},
      {"ndisp=1e3", "ndisp '1e3' is not an integer in 1 .. 536870912"},
      {"ndisp=536870913", "ndisp '536870913' is not an integer in 1 .. 536870912"},
      {"ndisp=99999999999999999999", "ndisp '99999999999999999999' is not an integer in 1 .. 536870912"},
      {"ndisp=10\nwidth=0\n", "width '0' is not an integer in 1 .. 2147483647"},
      {"ndisp=10\nheight=5 px\n", "height '5 px' is not an integer in 1 .. 2147483647"},
  };
  for (const Case& c : cases) {
    Calibration k{-1, -1, -1};  // kept on a refusal
    std::string reason;
    const bool ok = parse_calib(c.text, &k, &reason);
    EXPECT_EQ(ok ? std::to_string(k.ndisp) + " " + std::to_string(k.width) + "x" + std::to_string(k.height) : reason,
              c.expected) << c.text;
    EXPECT_TRUE(ok || (k.ndisp == -1 && k.width == -1 && k.height == -1)) << c.text;
  }
}

}  // namespace
