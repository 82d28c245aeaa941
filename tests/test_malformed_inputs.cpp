// Damaged and unusual input images, given to the program as a user would: files in its
// folder, answers on standard input. Each gets a clear message or a correct result.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "tests/support/test_support.h"

using ondrel_test::read_file;
using ondrel_test::run_ondrel;
using ondrel_test::RunResult;
using ondrel_test::TempDir;

namespace {

// One pass on Tsukuba (disparities 0 .. 15) with 3x3 blocks in 9x9 windows, then quit.
const char kAnswers[] = "n 1 4 1 10 12 20 q";
const std::string kTadPrompt = "Insert TAD threshold (e.g. 53) and press enter: ";
const std::string kContinuePrompt = "\nPress 'q' to quit or a different value to continue: ";

std::string cannot_read(const std::string& file) {
  return "\nERROR: cannot read the image \"" + file +
         "\" (missing, unreadable or not an image): nothing is computed or saved...\n";
}

void write_bytes(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  ASSERT_EQ(std::fclose(f), 0);
}

std::string png_bytes(const cv::Mat& image) {
  std::vector<unsigned char> png;
  EXPECT_TRUE(cv::imencode(".png", image, png));
  return std::string(png.begin(), png.end());
}

// PNG chunk: length, type, data, CRC of type and data.
std::string png_chunk(const std::string& type, const std::string& data) {
  const auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  uint32_t crc = 0xFFFFFFFFu;
  for (const char ch : type + data) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return be32(static_cast<uint32_t>(data.size())) + type + data + be32(~crc);
}

// A valid PNG of a 4x4 colour image whose header is rewritten to claim width x height (with
// a correct checksum), so that its data runs out after the first rows.
std::string png_claiming(uint32_t width, uint32_t height) {
  const std::string real = png_bytes(ondrel_test::random_image(4, 4, CV_8UC3, 7));
  const auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  // signature (8) | IHDR: length (4), type (4), data (13), CRC (4) | the rest
  const std::string header_data = be32(width) + be32(height) + real.substr(24, 5);
  return real.substr(0, 8) + png_chunk("IHDR", header_data) + real.substr(33);
}

// The tiny pair (24x10, true disparity 3 with a rectangle at 6) as Tsukuba, 8-bit colour.
void tiny_pair(cv::Mat* left, cv::Mat* right) {
  cv::Mat truth;
  ondrel_test::synthetic_pair(24, 10, 3, 6, cv::Rect(9, 2, 8, 6), 11, left, right, &truth);
}

void write_tsukuba(const TempDir& dir, const cv::Mat& left, const cv::Mat& right) {
  ASSERT_TRUE(cv::imwrite(dir.file("Tsukuba_L.png"), left));
  ASSERT_TRUE(cv::imwrite(dir.file("Tsukuba_R.png"), right));
}

// The output after the last question of the pass: what the program said about it.
std::string after_questions(const std::string& out) {
  const size_t at = out.rfind(kTadPrompt);
  return at == std::string::npos ? out : out.substr(at + kTadPrompt.size());
}

bool exists(const std::string& path) { return !read_file(path).empty(); }

// Both result maps of a run, decoded as stored.
struct Results {
  cv::Mat disparity, uniqueness;
};

Results results_of(const TempDir& dir) {
  return {cv::imread(dir.file("Result_Tsukuba.png"), cv::IMREAD_UNCHANGED),
          cv::imread(dir.file("Result_Tsukuba_SMP.png"), cv::IMREAD_UNCHANGED)};
}

bool same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Runs the pass on views that are no 8-bit colour PNGs and on the 8-bit colour images they
// decode to; both runs must succeed with the same maps.
void expect_same_result_as(const cv::Mat& left, const cv::Mat& right, const cv::Mat& left8, const cv::Mat& right8) {
  TempDir given, reference;
  write_tsukuba(given, left, right);
  write_tsukuba(reference, left8, right8);
  const RunResult run = run_ondrel(kAnswers, given.path);
  const RunResult ref = run_ondrel(kAnswers, reference.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << run.out;
  ASSERT_EQ(ref.status, 0);
  const Results got = results_of(given), want = results_of(reference);
  ASSERT_FALSE(want.disparity.empty());
  EXPECT_EQ(want.disparity.type(), CV_8UC1);
  EXPECT_EQ(want.disparity.size(), left.size());
  EXPECT_TRUE(same(got.disparity, want.disparity));
  EXPECT_TRUE(same(got.uniqueness, want.uniqueness));
  // and the reference is a real disparity map, not 255 throughout
  EXPECT_LT(cv::countNonZero(want.disparity == 255), want.disparity.total());
}

}  // namespace

// Files the image library cannot decode: the pass says which file and saves nothing, and the
// program goes on to the continue question.
TEST(MalformedInputs, UndecodableImagesAreNamedAndNothingIsSaved) {
  cv::Mat left, right;
  tiny_pair(&left, &right);
  const std::string good_left = png_bytes(left), good_right = png_bytes(right);
  struct Case {
    const char* what;
    std::string left, right;  // file contents
    const char* named;        // the file the message names
  };
  const Case cases[] = {
      {"left PNG cut in half", good_left.substr(0, good_left.size() / 2), good_right, "Tsukuba_L.png"},
      {"right PNG cut after its header", good_left, good_right.substr(0, 40), "Tsukuba_R.png"},
      {"PNG without its last byte", good_left.substr(0, good_left.size() - 1), good_right, "Tsukuba_L.png"},
      {"text file named like a PNG", "P3 this is text, not an image\n", good_right, "Tsukuba_L.png"},
      {"empty file", "", good_right, "Tsukuba_L.png"},
      {"header claims 100000 x 100000", png_claiming(100000, 100000), good_right, "Tsukuba_L.png"},
      {"header claims 20000 x 20000", png_claiming(20000, 20000), good_right, "Tsukuba_L.png"},
      {"header claims 2^31-1 x 1", png_claiming(0x7FFFFFFF, 1), good_right, "Tsukuba_L.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    write_bytes(dir.file("Tsukuba_L.png"), c.left);
    write_bytes(dir.file("Tsukuba_R.png"), c.right);
    const RunResult run = run_ondrel(kAnswers, dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(after_questions(run.out), cannot_read(c.named) + kContinuePrompt);
    EXPECT_FALSE(exists(dir.file("Result_Tsukuba.png")));
    EXPECT_FALSE(exists(dir.file("Result_Tsukuba_SMP.png")));
  }
}

// A truncated file that a previous pass read well: the next pass reports it, and the results
// of the earlier pass stay as they were.
TEST(MalformedInputs, ATruncatedImageLeavesEarlierResultsAlone) {
  cv::Mat left, right;
  tiny_pair(&left, &right);
  TempDir dir;
  write_tsukuba(dir, left, right);
  ASSERT_EQ(run_ondrel(kAnswers, dir.path).status, 0);
  const std::string before = read_file(dir.file("Result_Tsukuba.png"));
  ASSERT_FALSE(before.empty());
  const std::string png = png_bytes(right);
  write_bytes(dir.file("Tsukuba_R.png"), png.substr(0, png.size() * 3 / 4));
  const RunResult run = run_ondrel("n 1 4 1 3 4 5 q", dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(after_questions(run.out), cannot_read("Tsukuba_R.png") + kContinuePrompt);
  EXPECT_EQ(read_file(dir.file("Result_Tsukuba.png")), before);
}

// 16-bit, grey and alpha PNGs are read as the 8-bit colour image they hold: the top byte of
// 16-bit samples, grey repeated into three channels, alpha dropped.
TEST(MalformedInputs, OtherPixelFormatsGiveTheResultOfTheir8BitColourImage) {
  cv::Mat left, right;
  tiny_pair(&left, &right);
  {
    SCOPED_TRACE("16-bit colour");
    cv::Mat left16, right16;  // v * 257: the same value in both bytes
    left.convertTo(left16, CV_16UC3, 257);
    right.convertTo(right16, CV_16UC3, 257);
    expect_same_result_as(left16, right16, left, right);
  }
  cv::Mat left_grey, right_grey, left_grey3, right_grey3;
  cv::extractChannel(left, left_grey, 1);
  cv::extractChannel(right, right_grey, 1);
  cv::merge(std::vector<cv::Mat>{left_grey, left_grey, left_grey}, left_grey3);
  cv::merge(std::vector<cv::Mat>{right_grey, right_grey, right_grey}, right_grey3);
  {
    SCOPED_TRACE("8-bit grey");
    expect_same_result_as(left_grey, right_grey, left_grey3, right_grey3);
  }
  {
    SCOPED_TRACE("16-bit grey");
    cv::Mat left16, right16;
    left_grey.convertTo(left16, CV_16UC1, 257);
    right_grey.convertTo(right16, CV_16UC1, 257);
    expect_same_result_as(left16, right16, left_grey3, right_grey3);
  }
  {
    SCOPED_TRACE("colour with alpha");
    const cv::Mat alpha_left = ondrel_test::random_image(left.cols, left.rows, CV_8UC1, 5);
    const cv::Mat alpha_right = ondrel_test::random_image(left.cols, left.rows, CV_8UC1, 6);
    cv::Mat left4, right4;
    cv::merge(std::vector<cv::Mat>{left, alpha_left}, left4);
    cv::merge(std::vector<cv::Mat>{right, alpha_right}, right4);
    expect_same_result_as(left4, right4, left, right);
  }
}

// A 1x1 pair: a 3x3 block does not fit and is asked again; a 1x1 block does, and the single
// pixel, left of every possible match, has no value.
TEST(MalformedInputs, OnePixelImages) {
  TempDir dir;
  write_tsukuba(dir, cv::Mat(1, 1, CV_8UC3, cv::Scalar(10, 20, 30)), cv::Mat(1, 1, CV_8UC3, cv::Scalar(10, 20, 30)));
  const RunResult run = run_ondrel("n 1 4 1 4 0 10 12 20 q", dir.path);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\nERROR: wrong parameters: a block of 3x3 pixels does not fit in the image "
                         "\"Tsukuba_L.png\" (1x1 pixels)...\n\nInsert the radius of the support window"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("ERROR", run.out.find("(1x1 pixels)")), std::string::npos) << run.out;
  const Results got = results_of(dir);
  EXPECT_TRUE(same(got.disparity, cv::Mat(1, 1, CV_8UC1, cv::Scalar(255))));
  EXPECT_TRUE(same(got.uniqueness, cv::Mat(1, 1, CV_8UC1, cv::Scalar(255))));
}

// Views narrower than the disparity range (Tsukuba: 0 .. 15): no pixel has a possible match,
// so both maps are 255 throughout, in the size of the images.
TEST(MalformedInputs, ImagesNarrowerThanTheDisparityRange) {
  for (const int W : {3, 15}) {
    SCOPED_TRACE(W);
    TempDir dir;
    write_tsukuba(dir, ondrel_test::random_image(W, 7, CV_8UC3, 1), ondrel_test::random_image(W, 7, CV_8UC3, 2));
    const RunResult run = run_ondrel(kAnswers, dir.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << run.out;
    const Results got = results_of(dir);
    EXPECT_TRUE(same(got.disparity, cv::Mat(7, W, CV_8UC1, cv::Scalar(255))));
    EXPECT_TRUE(same(got.uniqueness, cv::Mat(7, W, CV_8UC1, cv::Scalar(255))));
  }
}

// Views of different sizes, in width, in height or both, either one larger: refused with
// both sizes named, nothing saved.
TEST(MalformedInputs, ViewsOfDifferentSizes) {
  const cv::Size sizes[][2] = {{{24, 10}, {25, 10}}, {{24, 10}, {24, 9}}, {{24, 10}, {10, 24}}, {{30, 12}, {24, 10}}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s[0] << " and " << s[1]);
    TempDir dir;
    write_tsukuba(dir, ondrel_test::random_image(s[0].width, s[0].height, CV_8UC3, 1),
                  ondrel_test::random_image(s[1].width, s[1].height, CV_8UC3, 2));
    const RunResult run = run_ondrel(kAnswers, dir.path);
    EXPECT_EQ(run.status, 0);
    const std::string message = "\nERROR: the images \"Tsukuba_L.png\" (" + std::to_string(s[0].width) + "x" +
                                std::to_string(s[0].height) + " pixels) and \"Tsukuba_R.png\" (" +
                                std::to_string(s[1].width) + "x" + std::to_string(s[1].height) +
                                " pixels) differ in size: nothing is computed or saved...\n";
    EXPECT_EQ(after_questions(run.out), message + kContinuePrompt);
    EXPECT_FALSE(exists(dir.file("Result_Tsukuba.png")));
  }
}
