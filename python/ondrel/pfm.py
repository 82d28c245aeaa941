"""Single-channel PFM files as the Middlebury 2014 benchmark stores disparities: the header
"Pf\\n<width> <height>\\n<scale>\\n" (a negative scale: little-endian), then float32 rows,
the bottom row first; +inf marks a pixel without a value."""
import math
import os
import re
import threading

import numpy as np

_HEADER = re.compile(rb"\A(P[fF])\s+(\d+)\s+(\d+)\s+([-+0-9.eE]+)\s")


def read_pfm(path):
    """The PFM file at path as a float32 H x W array, top row first, values as stored (only the
    sign of the scale is used). Raises ValueError for a damaged or colour file."""
    with open(path, "rb") as f:
        data = f.read()
    m = _HEADER.match(data[:256])
    if not m:
        raise ValueError(f"{path}: not a PFM file")
    if m.group(1) == b"PF":
        raise ValueError(f"{path}: a colour PFM, expected one channel")
    width, height = int(m.group(2)), int(m.group(3))
    try:
        scale = float(m.group(4))
    except ValueError:
        raise ValueError(f"{path}: bad scale {m.group(4)!r}") from None
    if width <= 0 or height <= 0 or scale == 0 or not math.isfinite(scale):
        raise ValueError(f"{path}: bad size or scale")
    pixels = data[m.end():]
    if len(pixels) != 4 * width * height:
        raise ValueError(f"{path}: {len(pixels)} bytes of pixels, expected {4 * width * height} for {width}x{height}")
    a = np.frombuffer(pixels, dtype="<f4" if scale < 0 else ">f4").reshape(height, width)
    return np.ascontiguousarray(a[::-1]).astype(np.float32)


def write_pfm(path, array):
    """Writes a 2-D float array as PFM (little-endian, NaN written as +inf), completely or not
    at all (see write_completely). The bytes are those the C++ tools write."""
    a = np.asarray(array, dtype=np.float32)
    if a.ndim != 2 or a.size == 0:
        raise ValueError("write_pfm takes a non-empty 2-D array")
    a = np.where(np.isnan(a), np.float32(np.inf), a).astype("<f4")
    data = b"Pf\n%d %d\n-1\n" % (a.shape[1], a.shape[0]) + np.ascontiguousarray(a[::-1]).tobytes()
    write_completely(path, data)


def write_completely(path, data):
    """Writes the bytes data to path completely or not at all: a temporary file beside the
    target (path + ".tmp<pid>.<thread>", permissions as the umask allows), flushed to disk,
    then renamed over path."""
    tmp = f"{os.fspath(path)}.tmp{os.getpid()}.{threading.get_ident()}"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.lexists(tmp):
            os.unlink(tmp)
        raise
