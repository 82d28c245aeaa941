// The Python binding of the library entries: ondrel._ondrel.match and match_refined (wrapped
// by ondrel.match and ondrel.match_refined), and read_image, the programs' image reader.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstring>
#include <new>
#include <limits>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "util/image_file.h"

namespace py = pybind11;

namespace {

// A C-contiguous H x W x 3 copy of a uint8 array of any strides: H x W x 3 as it is, H x W and
// H x W x 1 (grey) with the grey in all three channels, H x W x 4 (B, G, R, alpha as cv2 reads
// it) without the alpha.
py::array_t<uint8_t> colour_view(const py::array& a, const char* name) {
  if (!py::dtype::of<uint8_t>().is(a.dtype()))
    throw py::value_error(std::string(name) + " must be a uint8 array (got " + std::string(py::str(a.dtype())) + ")");
  if (a.ndim() == 3 && a.shape(2) == 3) return py::array_t<uint8_t, py::array::c_style>::ensure(a);
  const py::ssize_t channels = a.ndim() == 2 ? 1 : a.ndim() == 3 ? a.shape(2) : 0;
  if (channels != 1 && channels != 4)
    throw py::value_error(std::string(name) + " must be H x W x 3 (colour), H x W x 4 (colour and alpha), " +
                          "H x W or H x W x 1 (grey)");
  const auto in_array = py::array_t<uint8_t, py::array::c_style>::ensure(a);
  if (!in_array) throw py::error_already_set();
  const py::ssize_t h = in_array.shape(0), w = in_array.shape(1);
  py::array_t<uint8_t> colour({h, w, static_cast<py::ssize_t>(3)});
  const uint8_t* in = in_array.data();
  uint8_t* out = colour.mutable_data();
  for (py::ssize_t i = 0; i < h * w; ++i, in += channels, out += 3) {
    out[0] = in[0];
    out[1] = in[channels == 4 ? 1 : 0];
    out[2] = in[channels == 4 ? 2 : 0];
  }
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

// Ctrl-C during a call: the library's progress hook looks for a signal (at most every 20 ms,
// under the interpreter lock) and cancels the call when a handler raised, e.g. KeyboardInterrupt.
// Python runs its handlers only in the main thread; elsewhere the hook finds nothing.
struct SignalWatch {
  std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now();
  bool raised = false;
  static bool check(void* user, int, int) {
    SignalWatch* watch = static_cast<SignalWatch*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (watch->raised || now < watch->next) return !watch->raised;
    watch->next = now + std::chrono::milliseconds(20);
    py::gil_scoped_acquire hold;
    watch->raised = PyErr_CheckSignals() != 0;  // the handler's exception stays set
    return !watch->raised;
  }
  void watch(ondrel::Options* options) {
    options->progress = check;
    options->progress_user = this;
  }
};

void raise_for(const ondrel::Status& status, const SignalWatch& watch) {
  if (status.code == ondrel::StatusCode::kCancelled && watch.raised) throw py::error_already_set();
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
  SignalWatch watch;
  watch.watch(&options);
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
  if (!status.ok()) raise_for(status, watch);
  py::dict result;
  result["disparity"] = planes[0];
  result["uniqueness"] = planes[1];
  result["right_disparity"] = planes[2];
  result["seconds"] = timings.matching;
  return result;
}

// The refinements' options from keyword arguments by name; the ones not given keep the
// library's defaults.
ondrel::RefineOptions refine_options_of(const py::dict& given) {
  ondrel::RefineOptions r;
  for (const auto& item : given) {
    const std::string name = py::str(item.first);
    const py::handle value = item.second;
    const bool is_bool = py::isinstance<py::bool_>(value);
    try {
      if (name == "consistency_check" || name == "fill") {
        if (!is_bool) throw py::cast_error();
        (name == "fill" ? r.fill : r.consistency_check) = value.cast<bool>();
      } else if (name == "median_radius") {
        PyObject* index = is_bool ? nullptr : PyNumber_Index(value.ptr());  // ints, numpy's too, not 2.5
        if (!index) PyErr_Clear();
        if (!index) throw py::cast_error();
        r.median_radius = py::reinterpret_steal<py::object>(index).cast<int>();
      } else if (name == "consistency_tolerance" || name == "median_gamma_color") {
        if (is_bool) throw py::cast_error();
        (name == "median_gamma_color" ? r.median_gamma_color : r.consistency_tolerance) = value.cast<float>();
      } else {
        throw py::type_error("match_refined() got an unexpected keyword argument '" + name + "'");
      }
    } catch (const py::cast_error&) {
      const bool flag = name == "consistency_check" || name == "fill";
      const char* kind = flag ? "True or False" : name == "median_radius" ? "an integer" : "a number";
      throw py::value_error(name + " must be " + kind + ", not " + std::string(py::repr(value)));
    }
  }
  return r;
}

py::dict match_refined(const py::array& left_in, const py::array& right_in, int max_disparity, int support_radius,
                       int block_radius, float gamma_space, float gamma_color, int tad_threshold, int cost,
                       int threads, const py::dict& refine) {
  const Views views(left_in, right_in);
  const ondrel::Parameters p =
      parameters_of(max_disparity, support_radius, block_radius, gamma_space, gamma_color, tad_threshold, cost);
  const ondrel::RefineOptions refine_options = refine_options_of(refine);
  ondrel::Options options;
  options.threads = threads;
  SignalWatch watch;
  watch.watch(&options);
  py::array_t<float> plane({views.h, views.w});
  const ondrel::FloatPlane out{plane.mutable_data(), views.w, views.h, views.w};
  const ondrel::ImageView l = views.left_view(), r = views.right_view();
  ondrel::Status status;
  double seconds = 0;
  {
    py::gil_scoped_release release;
    const auto start = std::chrono::steady_clock::now();
    status = ondrel::match_refined(l, r, p, refine_options, options, out);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (!status.ok()) raise_for(status, watch);
  py::dict result;
  result["disparity"] = plane;
  result["seconds"] = seconds;
  return result;
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
        py::arg("tad_threshold"), py::arg("cost"), py::arg("threads"), py::arg("refine"));
  m.def("read_image", &read_image, py::arg("path"));
  m.attr("__version__") = ondrel::version();
}
