"""Ondrel: dense disparity maps of a rectified stereo pair.

    import ondrel
    result = ondrel.match(left, right, max_disparity=59)
    result.disparity          # float32 H x W, NaN where there is no value
    result.confidence         # float32 H x W, 0 .. 1: how likely each value is right
    shifted = ondrel.match(left, right, max_disparity=20, min_disparity=-39)  # negative ones too
    refined = ondrel.match_refined(left, right, 59, cost="census", median_radius=3)
    refined.disparity         # float32 H x W, dense; refined.seconds

left and right are uint8 numpy arrays of any strides: H x W x 3 (colour, as cv2 reads it), H x W x 4
(colour and alpha; the alpha is dropped), H x W or H x W x 1 (grey). Ctrl-C cancels a running match.
"""
import operator
import os

from ._ondrel import __version__, Calibration, Cost, Parameters
from . import _ondrel

__all__ = ["match", "match_refined", "Matcher", "MatchResult", "RefinedResult", "Parameters", "Cost", "Calibration",
           "read_image", "read_calib", "find_scenes", "find_kitti_pairs", "read_pfm", "write_pfm", "reproject",
           "__version__"]

# the library's defaults and cost names, not restated here
_DEFAULTS = Parameters()
_COSTS = {name: int(value) for name, value in Cost.__members__.items()}


def read_image(path):
    """The image at path as a uint8 H x W x 3 array (B, G, R), read as the programs read their views:
    PNG, JPEG, TIFF, BMP, WebP, Netpbm or PFM, told by the first bytes; None when the file is missing,
    in another format or damaged (some of OpenCV's other decoders end the process on a damaged file)."""
    return _ondrel.read_image(os.fspath(path))


def _opened(path):
    """path as a string, after OSError (FileNotFoundError, ...) if it cannot be opened."""
    path = os.fspath(path)
    with open(path, "rb"):
        return path


def read_calib(path):
    """The keys of a Middlebury calib.txt as a Calibration: ndisp, width, height, focal, cx, cy (from cam0),
    baseline and doffs; None for a key the file does not give (doffs: 0). Raises OSError when the file
    cannot be opened and ValueError, naming the key and its value, for a damaged one."""
    return _ondrel.read_calib(_opened(path))


def reproject(disparity, calib):
    """The 3-D points of a disparity map (H x W) with the camera of calib (read_calib's): a float32
    H x W x 3 array of x = (u - cx) Z / f, y = (v - cy) Z / f, z = Z for the pixel in column u and
    row v, where Z = baseline f / (d + doffs) is in the unit of the baseline; NaN where d has no
    value (NaN or infinite) or d + doffs <= 0. Computed in double, rounded to float32 once, as
    ondrel-match --depth and --ply do. Raises ValueError when calib has no cam0 or no baseline."""
    return _ondrel.reproject(disparity, calib)


def find_scenes(folder):
    """The names of the scene folders of a Middlebury-2014-layout folder (those holding im0.png,
    im1.png and calib.txt), sorted. Raises ValueError when folder cannot be listed."""
    return _ondrel.find_scenes(os.fspath(folder))


def find_kitti_pairs(folder):
    """The names (without .png) of the pairs of a KITTI-layout folder: image_2/<name>.png with
    image_3/<name>.png, sorted. Raises ValueError when folder/image_2 cannot be listed."""
    return _ondrel.find_kitti_pairs(os.fspath(folder))


def read_pfm(path):
    """The single-channel PFM file at path as a float32 H x W array, top row first, NaN where the
    file has no value (+inf). Raises OSError when it cannot be opened, ValueError for a damaged or
    colour file."""
    return _ondrel.read_pfm(_opened(path))


def write_pfm(path, array):
    """Writes a 2-D float array as a little-endian PFM file, NaN as +inf (the benchmark's marker for
    no value), completely or not at all. Raises ValueError naming the reason on failure."""
    _ondrel.write_pfm(os.fspath(path), array)


class MatchResult:
    """The planes of one match (float32 H x W, NaN for no value; confidence 0 .. 1, 0 without a
    value) and the seconds of the matching."""

    __slots__ = ("disparity", "uniqueness", "right_disparity", "confidence", "seconds")

    def __init__(self, disparity, uniqueness, right_disparity, confidence, seconds):
        self.disparity = disparity
        self.uniqueness = uniqueness
        self.right_disparity = right_disparity
        self.confidence = confidence
        self.seconds = seconds

    def __repr__(self):
        h, w = self.disparity.shape
        return f"MatchResult({w}x{h}, {self.seconds:.3f} s)"


class RefinedResult:
    """The refined map (float32 H x W, NaN for no value), its confidence (0 .. 1) and the seconds of
    the whole refined call."""

    __slots__ = ("disparity", "confidence", "seconds")

    def __init__(self, disparity, confidence, seconds):
        self.disparity = disparity
        self.confidence = confidence
        self.seconds = seconds

    def __repr__(self):
        h, w = self.disparity.shape
        return f"RefinedResult({w}x{h}, {self.seconds:.3f} s)"


def _int(name, value):
    """value as a C int, or ValueError naming the argument."""
    try:
        n = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be an integer, not {value!r}") from None
    if not -2**31 <= n < 2**31:
        raise ValueError(f"{name} {n} is out of range")
    return n


def _float(name, value):
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a number, not {value!r}") from None


def _arguments(left, right, min_disparity, max_disparity, support_radius, block_radius, gamma_space,
               gamma_color, tad_threshold, cost, threads):
    import numpy as np
    if not isinstance(cost, str) or cost not in _COSTS:
        raise ValueError(f"cost must be {' or '.join(map(repr, _COSTS))}, not {cost!r}")
    return (np.asarray(left), np.asarray(right), _int("min_disparity", min_disparity),
            _int("max_disparity", max_disparity),
            _int("support_radius", support_radius), _int("block_radius", block_radius),
            _float("gamma_space", gamma_space), _float("gamma_color", gamma_color),
            _int("tad_threshold", tad_threshold), _COSTS[cost], _int("threads", threads))


def match(left, right, max_disparity, *, min_disparity=_DEFAULTS.min_disparity,
          support_radius=_DEFAULTS.support_radius, block_radius=_DEFAULTS.block_radius,
          gamma_space=_DEFAULTS.gamma_space, gamma_color=_DEFAULTS.gamma_color,
          tad_threshold=_DEFAULTS.tad_threshold, cost=_DEFAULTS.cost.name, threads=0):
    """Matches a rectified pair: disparities min_disparity .. max_disparity (negative ones too).
    The result has .confidence too: 0 .. 1, higher where a value is more likely right.
    cost: "tad" (truncated colour difference) or "census" (Hamming distance of 5x5 census
    strings; tad_threshold unused).
    Raises ValueError for bad arguments (with the library's message) and MemoryError when
    memory cannot be had. The interpreter lock is released while matching; threads=0 uses
    every processor. Ctrl-C (in the main thread) cancels the call within a few rows and raises
    KeyboardInterrupt. Calls one after the other share one Matcher (its colour table and
    buffers, which stay allocated at the size of the largest call); a call while another
    thread's runs gets one of its own."""
    r = _ondrel.match(*_arguments(left, right, min_disparity, max_disparity, support_radius, block_radius,
                                  gamma_space, gamma_color, tad_threshold, cost, threads))
    return MatchResult(r["disparity"], r["uniqueness"], r["right_disparity"], r["confidence"], r["seconds"])


class Matcher:
    """A matcher that keeps its colour table and buffers from call to call (a series of pairs, frames
    of a video): .compute takes the arguments of match and gives its result, byte for byte. Calls
    on one Matcher from several threads wait for each other; use one Matcher per thread."""

    __slots__ = ("_matcher",)

    def __init__(self):
        self._matcher = _ondrel.Matcher()

    def compute(self, left, right, max_disparity, *, min_disparity=_DEFAULTS.min_disparity,
                support_radius=_DEFAULTS.support_radius, block_radius=_DEFAULTS.block_radius,
                gamma_space=_DEFAULTS.gamma_space, gamma_color=_DEFAULTS.gamma_color,
                tad_threshold=_DEFAULTS.tad_threshold, cost=_DEFAULTS.cost.name, threads=0):
        """As match."""
        r = self._matcher.compute(*_arguments(left, right, min_disparity, max_disparity, support_radius,
                                              block_radius, gamma_space, gamma_color, tad_threshold, cost, threads))
        return MatchResult(r["disparity"], r["uniqueness"], r["right_disparity"], r["confidence"], r["seconds"])


def match_refined(left, right, max_disparity, *, min_disparity=_DEFAULTS.min_disparity,
                  support_radius=_DEFAULTS.support_radius, block_radius=_DEFAULTS.block_radius,
                  gamma_space=_DEFAULTS.gamma_space, gamma_color=_DEFAULTS.gamma_color,
                  tad_threshold=_DEFAULTS.tad_threshold, cost=_DEFAULTS.cost.name, threads=0, **refine):
    """The refined map of the left view: census costs, semi-global paths, the consistency check,
    the fill and the weighted median (method="semi-global", the default: of the matcher's
    parameters only the disparity range counts), or the designed match on both views with its
    cost, checked, filled and filtered (method="designed"). Returns a RefinedResult
    (.disparity, .confidence, .seconds). The refinements' options are keyword arguments named
    as in the library's RefineOptions (method, consistency_check, consistency_tolerance, fill,
    median_radius, median_gamma_color, penalty_small, penalty_large, paths, uniqueness); the ones
    not given keep the library's defaults. Other arguments and errors as for match."""
    r = _ondrel.match_refined(*_arguments(left, right, min_disparity, max_disparity, support_radius,
                                          block_radius, gamma_space, gamma_color, tad_threshold, cost, threads),
                              refine)
    return RefinedResult(r["disparity"], r["confidence"], r["seconds"])
