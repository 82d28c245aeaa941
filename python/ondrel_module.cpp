// The Python binding of the library entries: ondrel._ondrel.match and match_refined (wrapped
// by ondrel.match and ondrel.match_refined), and read_image, the programs' image reader.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <new>
#include <limits>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "util/image_file.h"

namespace py = pybind11;

namespace {

// A C-contiguous H x W x 3 copy of a uint8 H x W x 3 or H x W (grey) array of any strides.
py::array_t<uint8_t> colour_view(const py::array& a, const char* name) {
  if (!py::dtype::of<uint8_t>().is(a.dtype()))
    throw py::value_error(std::string(name) + " must be a uint8 array (got " + std::string(py::str(a.dtype())) + ")");
  if (a.ndim() == 3 && a.shape(2) == 3) return py::array_t<uint8_t, py::array::c_style>::ensure(a);
  if (a.ndim() != 2)
    throw py::value_error(std::string(name) + " must be H x W x 3 (colour) or H x W (grey)");
  const auto grey = py::array_t<uint8_t, py::array::c_style>::ensure(a);
  const py::ssize_t h = grey.shape(0), w = grey.shape(1);
  py::array_t<uint8_t> colour({h, w, static_cast<py::ssize_t>(3)});
  const uint8_t* in = grey.data();
  uint8_t* out = colour.mutable_data();
  for (py::ssize_t i = 0; i < h * w; ++i) out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = in[i];
  return colour;
}

// The two views as contiguous colour copies, checked for one size that fits an int.
struct Views {
  py::array_t<uint8_t> left, right;
  int w, h;
  Views(const py::array& left_in, const py::array& right_in)
      : left(colour_view(left_in, "left")), right(colour_view(right_in, "right")) {
    if (left.shape(0) != right.shape(0) || left.shape(1) != right.shape(1))
      throw py::value_error("left and right must have the same size");
    if (left.shape(0) > std::numeric_limits<int>::max() / 4 || left.shape(1) > std::numeric_limits<int>::max() / 12)
      throw py::value_error("the views are too large");
    h = static_cast<int>(left.shape(0)), w = static_cast<int>(left.shape(1));
  }
  ondrel::ImageView left_view() const { return {left.data(), w, h, 3 * static_cast<std::ptrdiff_t>(w)}; }
  ondrel::ImageView right_view() const { return {right.data(), w, h, 3 * static_cast<std::ptrdiff_t>(w)}; }
};

void raise_for(const ondrel::Status& status) {
  if (status.code == ondrel::StatusCode::kOutOfMemory) throw std::bad_alloc();  // MemoryError
  throw py::value_error(status.message);
}

ondrel::Parameters parameters_of(int max_disparity, int support_radius, int block_radius, float gamma_space,
                                 float gamma_color, int tad_threshold, int cost) {
  ondrel::Parameters p;
  p.max_disparity = max_disparity;
  p.support_radius = support_radius;
  p.block_radius = block_radius;
  p.gamma_space = gamma_space;
  p.gamma_color = gamma_color;
  p.tad_threshold = tad_threshold;
  p.cost = static_cast<ondrel::CostFunction>(cost);  // checked by the library
  return p;
}

py::dict match(const py::array& left_in, const py::array& right_in, int max_disparity, int support_radius,
               int block_radius, float gamma_space, float gamma_color, int tad_threshold, int cost, int threads) {
  const Views views(left_in, right_in);
  const int w = views.w, h = views.h;
  const ondrel::Parameters p =
      parameters_of(max_disparity, support_radius, block_radius, gamma_space, gamma_color, tad_threshold, cost);
  ondrel::Options options;
  options.threads = threads;
  py::array_t<float> planes[3] = {py::array_t<float>({h, w}), py::array_t<float>({h, w}), py::array_t<float>({h, w})};
  ondrel::DisparityPlanes out;
  out.disparity = {planes[0].mutable_data(), w, h, w};
  out.uniqueness = {planes[1].mutable_data(), w, h, w};
  out.right_disparity = {planes[2].mutable_data(), w, h, w};
  const ondrel::ImageView l = views.left_view(), r = views.right_view();
  ondrel::Status status;
  ondrel::Timings timings;
  {
    py::gil_scoped_release release;
    status = ondrel::match(l, r, p, options, out, &timings);
  }
  if (!status.ok()) raise_for(status);
  py::dict result;
  result["disparity"] = planes[0];
  result["uniqueness"] = planes[1];
  result["right_disparity"] = planes[2];
  result["seconds"] = timings.matching;
  return result;
}

py::array_t<float> match_refined(const py::array& left_in, const py::array& right_in, int max_disparity,
                                 int support_radius, int block_radius, float gamma_space, float gamma_color,
                                 int tad_threshold, int cost, int threads) {
  const Views views(left_in, right_in);
  const ondrel::Parameters p =
      parameters_of(max_disparity, support_radius, block_radius, gamma_space, gamma_color, tad_threshold, cost);
  ondrel::Options options;
  options.threads = threads;
  py::array_t<float> plane({views.h, views.w});
  const ondrel::FloatPlane out{plane.mutable_data(), views.w, views.h, views.w};
  const ondrel::ImageView l = views.left_view(), r = views.right_view();
  ondrel::Status status;
  {
    py::gil_scoped_release release;
    status = ondrel::match_refined(l, r, p, ondrel::RefineOptions{}, options, out);
  }
  if (!status.ok()) raise_for(status);
  return plane;
}

// The image at `path` as an H x W x 3 uint8 array (B, G, R), read as the programs read their
// views (read_image_file); None when it is missing or not in one of those formats.
py::object read_image(const std::string& path) {
  const cv::Mat image = read_image_file(path, cv::IMREAD_COLOR);
  if (image.empty()) return py::none();
  py::array_t<uint8_t> a({static_cast<py::ssize_t>(image.rows), static_cast<py::ssize_t>(image.cols),
                          static_cast<py::ssize_t>(3)});
  for (int y = 0; y < image.rows; ++y)
    std::memcpy(a.mutable_data(y), image.ptr(y), 3 * static_cast<size_t>(image.cols));
  return std::move(a);
}

}  // namespace

PYBIND11_MODULE(_ondrel, m) {
  m.doc() = "Dense disparity maps of a rectified stereo pair (the Ondrel matcher).";
  m.def("match", &match, py::arg("left"), py::arg("right"), py::arg("max_disparity"), py::arg("support_radius"),
        py::arg("block_radius"), py::arg("gamma_space"), py::arg("gamma_color"), py::arg("tad_threshold"),
        py::arg("cost"), py::arg("threads"));
  m.def("match_refined", &match_refined, py::arg("left"), py::arg("right"), py::arg("max_disparity"),
        py::arg("support_radius"), py::arg("block_radius"), py::arg("gamma_space"), py::arg("gamma_color"),
        py::arg("tad_threshold"), py::arg("cost"), py::arg("threads"));
  m.def("read_image", &read_image, py::arg("path"));
  m.attr("__version__") = ondrel::version();
}
