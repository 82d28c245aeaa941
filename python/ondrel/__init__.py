"""Ondrel: dense disparity maps of a rectified stereo pair.

    import ondrel
    result = ondrel.match(left, right, max_disparity=59)
    result.disparity          # float32 H x W, NaN where there is no value

left and right are uint8 numpy arrays, H x W x 3 (colour) or H x W (grey), of any strides.
"""
import operator

from ._ondrel import __version__
from . import _ondrel
from .pfm import read_pfm, write_pfm

__all__ = ["match", "MatchResult", "read_pfm", "write_pfm", "__version__"]


class MatchResult:
    """The three planes of one match (float32 H x W, NaN for no value) and the seconds of the matching."""

    __slots__ = ("disparity", "uniqueness", "right_disparity", "seconds")

    def __init__(self, disparity, uniqueness, right_disparity, seconds):
        self.disparity = disparity
        self.uniqueness = uniqueness
        self.right_disparity = right_disparity
        self.seconds = seconds

    def __repr__(self):
        h, w = self.disparity.shape
        return f"MatchResult({w}x{h}, {self.seconds:.3f} s)"


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


def match(left, right, max_disparity, *, support_radius=19, block_radius=6, gamma_space=14.0,
          gamma_color=23.0, tad_threshold=53, threads=0):
    """Matches a rectified pair: disparities 0 .. max_disparity. Raises ValueError for bad
    arguments (with the library's message) and MemoryError when memory cannot be had. The
    interpreter lock is released while matching; threads=0 uses every processor."""
    import numpy as np
    r = _ondrel.match(np.asarray(left), np.asarray(right), _int("max_disparity", max_disparity),
                      _int("support_radius", support_radius), _int("block_radius", block_radius),
                      _float("gamma_space", gamma_space), _float("gamma_color", gamma_color),
                      _int("tad_threshold", tad_threshold), _int("threads", threads))
    return MatchResult(r["disparity"], r["uniqueness"], r["right_disparity"], r["seconds"])
