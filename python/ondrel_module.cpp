// The Python binding of the library entries: ondrel._ondrel.match, Matcher and match_refined
// (wrapped by ondrel.match, ondrel.Matcher and ondrel.match_refined), the parameters' defaults and the cost names
// (Parameters, Cost), and the programs' one reader or writer of each file: read_image,
// read_calib, find_scenes, find_kitti_pairs, read_pfm, write_pfm, write_file_completely.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <ondrel/ondrel.h>
#include <ondrel/refine.h>
#include <opencv2/imgcodecs.hpp>

#include "tools/match/disparity_files.h"
#include "util/calib.h"
#include "util/image_file.h"
#include "util/pfm.h"
#include "util/png_file.h"
#include "util/reproject.h"
#include "util/scenes.h"

namespace py = pybind11;

namespace {

// `a` itself when it is C-contiguous, else a C-contiguous copy; MemoryError when the copy cannot
// be had (ensure() returns an empty handle for any failure, and a uint8 array can fail only so).
py::array_t<uint8_t, py::array::c_style> contiguous(const py::array& a) {
  auto c = py::array_t<uint8_t, py::array::c_style>::ensure(a);
  if (!c) throw std::bad_alloc();
  return c;
}

// A C-contiguous H x W x 3 copy of a uint8 array of any strides: H x W x 3 as it is, H x W and
// H x W x 1 (grey) with the grey in all three channels, H x W x 4 (B, G, R, alpha as cv2 reads
// it) without the alpha.
py::array_t<uint8_t> colour_view(const py::array& a, const char* name) {
  if (!py::dtype::of<uint8_t>().is(a.dtype()))
    throw py::value_error(std::string(name) + " must be a uint8 array (got " + std::string(py::str(a.dtype())) + ")");
  if (a.ndim() == 3 && a.shape(2) == 3) return contiguous(a);
  const py::ssize_t channels = a.ndim() == 2 ? 1 : a.ndim() == 3 ? a.shape(2) : 0;
  if (channels != 1 && channels != 4)
    throw py::value_error(std::string(name) + " must be H x W x 3 (colour), H x W x 4 (colour and alpha), " +
                          "H x W or H x W x 1 (grey)");
  const auto in_array = contiguous(a);
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

ondrel::Parameters parameters_of(int min_disparity, int max_disparity, int support_radius, int block_radius,
                                 float gamma_space, float gamma_color, int tad_threshold, int cost) {
  ondrel::Parameters p;
  p.min_disparity = min_disparity;
  p.max_disparity = max_disparity;
  p.support_radius = support_radius;
  p.block_radius = block_radius;
  p.gamma_space = gamma_space;
  p.gamma_color = gamma_color;
  p.tad_threshold = tad_threshold;
  p.cost = static_cast<ondrel::CostFunction>(cost);  // checked by the library
  return p;
}

// A Matcher for Python: its calls run without the interpreter lock, so the lock of the object
// keeps two threads from sharing its storage at once.
struct SharedMatcher {
  ondrel::Matcher matcher;
  std::mutex busy;
};

// A call on the shared Matcher: waiting for it (wait), or else, when another thread's call holds
// it, on a Matcher of its own (the same planes).
py::dict compute(SharedMatcher& shared, bool wait, const py::array& left_in, const py::array& right_in, int min_disparity,
                 int max_disparity, int support_radius, int block_radius, float gamma_space, float gamma_color,
                 int tad_threshold, int cost, int threads) {
  const Views views(left_in, right_in);
  const int w = views.w, h = views.h;
  const ondrel::Parameters p = parameters_of(min_disparity, max_disparity, support_radius, block_radius, gamma_space,
                                             gamma_color, tad_threshold, cost);
  ondrel::Options options;
  options.threads = threads;
  SignalWatch watch;
  watch.watch(&options);
  py::array_t<float> planes[4] = {py::array_t<float>({h, w}), py::array_t<float>({h, w}), py::array_t<float>({h, w}),
                                  py::array_t<float>({h, w})};
  ondrel::DisparityPlanes out;
  out.disparity = {planes[0].mutable_data(), w, h, w};
  out.uniqueness = {planes[1].mutable_data(), w, h, w};
  out.right_disparity = {planes[2].mutable_data(), w, h, w};
  out.confidence = {planes[3].mutable_data(), w, h, w};
  const ondrel::ImageView l = views.left_view(), r = views.right_view();
  ondrel::Status status;
  ondrel::Timings timings;
  {
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> hold(shared.busy, std::defer_lock);
    if (wait) hold.lock();
    else hold.try_lock();
    status = hold.owns_lock() ? shared.matcher.compute(l, r, p, options, out, &timings)
                              : ondrel::match(l, r, p, options, out, &timings);
  }
  if (!status.ok()) raise_for(status, watch);
  py::dict result;
  result["disparity"] = planes[0];
  result["uniqueness"] = planes[1];
  result["right_disparity"] = planes[2];
  result["confidence"] = planes[3];
  result["seconds"] = timings.matching;
  return result;
}

// The module's match: one Matcher for the calls one after the other, which keeps the colour
// table of the last gamma_color (4 ms a call on Teddy) and the buffers; a call while another
// thread's holds it gets a Matcher of its own instead of waiting.
py::dict match(const py::array& left_in, const py::array& right_in, int min_disparity, int max_disparity,
               int support_radius, int block_radius, float gamma_space, float gamma_color, int tad_threshold, int cost,
               int threads) {
  static SharedMatcher* const kShared = new SharedMatcher;  // (never destroyed: no order at exit to get wrong)
  return compute(*kShared, false, left_in, right_in, min_disparity, max_disparity, support_radius, block_radius,
                 gamma_space, gamma_color, tad_threshold, cost, threads);
}

py::dict matcher_compute(SharedMatcher& shared, const py::array& left_in, const py::array& right_in, int min_disparity,
                         int max_disparity, int support_radius, int block_radius, float gamma_space, float gamma_color,
                         int tad_threshold, int cost, int threads) {
  return compute(shared, true, left_in, right_in, min_disparity, max_disparity, support_radius, block_radius,
                 gamma_space, gamma_color, tad_threshold, cost, threads);
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
      if (name == "method") {
        const std::string method = py::isinstance<py::str>(value) ? value.cast<std::string>() : "";
        if (method != "semi-global" && method != "designed")
          throw py::value_error("method must be 'semi-global' or 'designed', not " + std::string(py::repr(value)));
        r.method = method == "designed" ? ondrel::RefineMethod::kDesignedMatch : ondrel::RefineMethod::kSemiGlobal;
      } else if (name == "consistency_check" || name == "fill") {
        if (!is_bool) throw py::cast_error();
        (name == "fill" ? r.fill : r.consistency_check) = value.cast<bool>();
      } else if (name == "median_radius" || name == "paths" || name == "penalty_small" || name == "penalty_large" ||
                 name == "uniqueness") {
        PyObject* index = is_bool ? nullptr : PyNumber_Index(value.ptr());  // ints, numpy's too, not 2.5
        if (!index) PyErr_Clear();
        if (!index) throw py::cast_error();
        const int v = py::reinterpret_steal<py::object>(index).cast<int>();
        (name == "paths" ? r.paths : name == "penalty_small" ? r.penalty_small : name == "penalty_large" ? r.penalty_large
         : name == "uniqueness" ? r.uniqueness : r.median_radius) = v;
      } else if (name == "consistency_tolerance" || name == "median_gamma_color") {
        if (is_bool) throw py::cast_error();
        (name == "median_gamma_color" ? r.median_gamma_color : r.consistency_tolerance) = value.cast<float>();
      } else {
        throw py::type_error("match_refined() got an unexpected keyword argument '" + name + "'");
      }
    } catch (const py::cast_error&) {
      const bool flag = name == "consistency_check" || name == "fill";
      const bool integer = name == "median_radius" || name == "paths" || name == "penalty_small" ||
                           name == "penalty_large" || name == "uniqueness";
      const char* kind = flag ? "True or False" : integer ? "an integer" : "a number";
      throw py::value_error(name + " must be " + kind + ", not " + std::string(py::repr(value)));
    }
  }
  return r;
}

py::dict match_refined(const py::array& left_in, const py::array& right_in, int min_disparity, int max_disparity,
                       int support_radius, int block_radius, float gamma_space, float gamma_color, int tad_threshold,
                       int cost, int threads, const py::dict& refine) {
  const Views views(left_in, right_in);
  const ondrel::Parameters p = parameters_of(min_disparity, max_disparity, support_radius, block_radius, gamma_space,
                                             gamma_color, tad_threshold, cost);
  const ondrel::RefineOptions refine_options = refine_options_of(refine);
  ondrel::Options options;
  options.threads = threads;
  SignalWatch watch;
  watch.watch(&options);
  py::array_t<float> plane({views.h, views.w}), confidence({views.h, views.w});
  const ondrel::FloatPlane out{plane.mutable_data(), views.w, views.h, views.w};
  const ondrel::FloatPlane confidence_out{confidence.mutable_data(), views.w, views.h, views.w};
  const ondrel::ImageView l = views.left_view(), r = views.right_view();
  ondrel::Status status;
  double seconds = 0;
  {
    py::gil_scoped_release release;
    const auto start = std::chrono::steady_clock::now();
    status = ondrel::match_refined(l, r, p, refine_options, options, out, confidence_out);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  if (!status.ok()) raise_for(status, watch);
  py::dict result;
  result["disparity"] = plane;
  result["confidence"] = confidence;
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

// The calibration of the calib.txt at `path` (util/calib.h); ValueError naming the file and
// the reason when it is refused.
Calibration bound_read_calib(const std::string& path) {
  Calibration c;
  std::string reason;
  if (!::read_calib(path, &c, &reason)) throw py::value_error(path + ": " + reason);
  return c;
}

std::vector<std::string> bound_find_scenes(const std::string& folder) {
  std::vector<std::string> names;
  std::string reason;
  if (!::find_scenes(folder, &names, &reason)) throw py::value_error(folder + ": " + reason);
  return names;
}

std::vector<std::string> bound_find_kitti_pairs(const std::string& folder) {
  std::vector<std::string> names;
  std::string reason;
  if (!::find_kitti_pairs(folder, &names, &reason)) throw py::value_error(folder + "/image_2: " + reason);
  return names;
}

// The PFM file at `path` as a float32 H x W array, NaN for no value (util/pfm.h).
py::array_t<float> bound_read_pfm(const std::string& path) {
  cv::Mat m;
  std::string error;
  if (!::read_pfm(path, &m, &error, PfmValues::kNoValueAsNaN)) throw py::value_error(path + ": " + error);
  py::array_t<float> a({static_cast<py::ssize_t>(m.rows), static_cast<py::ssize_t>(m.cols)});
  for (int y = 0; y < m.rows; ++y) std::memcpy(a.mutable_data(y), m.ptr<float>(y), 4 * static_cast<size_t>(m.cols));
  return a;
}

void bound_write_pfm(const std::string& path, const py::array_t<float, py::array::c_style | py::array::forcecast>& a) {
  if (a.ndim() != 2 || a.size() == 0) throw py::value_error("write_pfm takes a non-empty 2-D array");
  if (a.shape(0) > std::numeric_limits<int>::max() || a.shape(1) > std::numeric_limits<int>::max())
    throw py::value_error("write_pfm: the array is too large");
  const int h = static_cast<int>(a.shape(0)), w = static_cast<int>(a.shape(1));
  std::string error;
  bool written;
  {
    py::gil_scoped_release release;
    written = ::write_pfm(path, a.data(), w, h, w, &error);
  }
  if (!written) throw py::value_error(path + ": " + error);
}

void bound_write_file_completely(const std::string& path, const py::bytes& data) {
  const std::string bytes = data;
  std::string error;
  if (!::write_file_completely(path, bytes.data(), bytes.size(), &error)) throw py::value_error(path + ": " + error);
}

// A key's value, or None where calib.txt does not give it.
// A disparity map as the file `path` names by its extension (tools/match/disparity_files.h):
// .pfm as the benchmark stores it, .png 16-bit as KITTI's devkit reads it.
void bound_write_disparity_file(const std::string& path,
                                const py::array_t<float, py::array::c_style | py::array::forcecast>& a) {
  if (a.ndim() != 2 || a.size() == 0) throw py::value_error("write_disparity_file takes a non-empty 2-D array");
  if (a.shape(0) > std::numeric_limits<int>::max() || a.shape(1) > std::numeric_limits<int>::max())
    throw py::value_error("write_disparity_file: the array is too large");
  const int h = static_cast<int>(a.shape(0)), w = static_cast<int>(a.shape(1));
  std::string error;
  bool written;
  {
    py::gil_scoped_release release;
    written = write_disparity_file(path, a.data(), w, h, w, &error);
  }
  if (!written) throw py::value_error(path + ": " + error);
}

// The points of a disparity map (util/reproject.h) as an H x W x 3 float32 array, NaN where a
// pixel has none; ValueError when calib.txt gave no cam0 or no baseline.
py::array_t<float> reproject(const py::array_t<float, py::array::c_style | py::array::forcecast>& disparity,
                             const Calibration& calib) {
  if (disparity.ndim() != 2) throw py::value_error("reproject takes a 2-D disparity array");
  if (!calib.has_camera || !calib.has_baseline)
    throw py::value_error(std::string("reproject needs the camera: the calibration has no ") +
                          (calib.has_camera ? "baseline" : "cam0"));
  if (disparity.shape(0) > std::numeric_limits<int>::max() || disparity.shape(1) > std::numeric_limits<int>::max())
    throw py::value_error("reproject: the array is too large");
  const int h = static_cast<int>(disparity.shape(0)), w = static_cast<int>(disparity.shape(1));
  const Camera camera{calib.focal, calib.baseline, calib.doffs, calib.cx, calib.cy};
  py::array_t<float> points({static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w), static_cast<py::ssize_t>(3)});
  const float* d = disparity.data();
  float* out = points.mutable_data();
  {
    py::gil_scoped_release release;
    for (int v = 0; v < h; ++v)
      for (int u = 0; u < w; ++u) point_of(d[static_cast<size_t>(v) * w + u], u, v, camera, out + 3 * (static_cast<size_t>(v) * w + u));
  }
  return points;
}

py::object or_none(bool given, double value) { return given ? py::object(py::float_(value)) : py::object(py::none()); }
py::object int_or_none(int value) { return value ? py::object(py::int_(value)) : py::object(py::none()); }

}  // namespace

PYBIND11_MODULE(_ondrel, m) {
  m.doc() = "Dense disparity maps of a rectified stereo pair (the Ondrel matcher).";
  m.def("match", &match, py::arg("left"), py::arg("right"), py::arg("min_disparity"), py::arg("max_disparity"),
        py::arg("support_radius"),
        py::arg("block_radius"), py::arg("gamma_space"), py::arg("gamma_color"), py::arg("tad_threshold"),
        py::arg("cost"), py::arg("threads"));
  py::class_<SharedMatcher>(m, "Matcher", "A matcher that keeps its tables and storage from call to call.")
      .def(py::init<>())
      .def("compute", &matcher_compute, py::arg("left"), py::arg("right"), py::arg("min_disparity"),
           py::arg("max_disparity"), py::arg("support_radius"), py::arg("block_radius"), py::arg("gamma_space"),
           py::arg("gamma_color"), py::arg("tad_threshold"), py::arg("cost"), py::arg("threads"));
  m.def("match_refined", &match_refined, py::arg("left"), py::arg("right"), py::arg("min_disparity"),
        py::arg("max_disparity"),
        py::arg("support_radius"), py::arg("block_radius"), py::arg("gamma_space"), py::arg("gamma_color"),
        py::arg("tad_threshold"), py::arg("cost"), py::arg("threads"), py::arg("refine"));
  m.def("read_image", &read_image, py::arg("path"));
  // the library's rules of the parameters (the views' size not known) and of the thread count: "" or
  // the message naming the parameter
  m.def("check", [](const ondrel::Parameters& p, int threads) {
    ondrel::Options options;
    options.threads = threads;
    ondrel::Status status = ondrel::check(p, 0, 0);
    if (status.ok()) status = ondrel::check(options);
    return std::string(status.ok() ? "" : status.message);
  }, py::arg("parameters"), py::arg("threads"));
  m.attr("MAX_THREADS") = ondrel::kMaxThreads;

  py::enum_<ondrel::CostFunction>(m, "Cost")
      .value("tad", ondrel::CostFunction::kTad)
      .value("census", ondrel::CostFunction::kCensus);
  py::class_<ondrel::Parameters>(m, "Parameters")
      .def(py::init<>())
      .def_readwrite("min_disparity", &ondrel::Parameters::min_disparity)
      .def_readwrite("max_disparity", &ondrel::Parameters::max_disparity)
      .def_readwrite("support_radius", &ondrel::Parameters::support_radius)
      .def_readwrite("block_radius", &ondrel::Parameters::block_radius)
      .def_readwrite("gamma_space", &ondrel::Parameters::gamma_space)
      .def_readwrite("gamma_color", &ondrel::Parameters::gamma_color)
      .def_readwrite("tad_threshold", &ondrel::Parameters::tad_threshold)
      .def_readwrite("cost", &ondrel::Parameters::cost);

  py::class_<Calibration>(m, "Calibration", "The keys of a calib.txt (None where the file does not give one).")
      .def_readonly("ndisp", &Calibration::ndisp)
      .def_property_readonly("width", [](const Calibration& c) { return int_or_none(c.width); })
      .def_property_readonly("height", [](const Calibration& c) { return int_or_none(c.height); })
      .def_property_readonly("focal", [](const Calibration& c) { return or_none(c.has_camera, c.focal); })
      .def_property_readonly("cx", [](const Calibration& c) { return or_none(c.has_camera, c.cx); })
      .def_property_readonly("cy", [](const Calibration& c) { return or_none(c.has_camera, c.cy); })
      .def_property_readonly("baseline", [](const Calibration& c) { return or_none(c.has_baseline, c.baseline); })
      .def_readonly("doffs", &Calibration::doffs)
      .def("__repr__", [](const Calibration& c) {
        return py::str("Calibration(ndisp={}, width={}, height={}, focal={}, cx={}, cy={}, baseline={}, doffs={})")
            .format(c.ndisp, int_or_none(c.width), int_or_none(c.height), or_none(c.has_camera, c.focal),
                    or_none(c.has_camera, c.cx), or_none(c.has_camera, c.cy), or_none(c.has_baseline, c.baseline),
                    c.doffs);
      });
  m.def("read_calib", &bound_read_calib, py::arg("path"));
  m.def("find_scenes", &bound_find_scenes, py::arg("folder"));
  m.def("find_kitti_pairs", &bound_find_kitti_pairs, py::arg("folder"));
  m.def("read_pfm", &bound_read_pfm, py::arg("path"));
  m.def("reproject", &reproject, py::arg("disparity"), py::arg("calib"));
  m.def("write_disparity_file", &bound_write_disparity_file, py::arg("path"), py::arg("array"));
  m.def("write_pfm", &bound_write_pfm, py::arg("path"), py::arg("array"));
  m.def("write_file_completely", &bound_write_file_completely, py::arg("path"), py::arg("data"));
  m.attr("__version__") = ondrel::version();
}
