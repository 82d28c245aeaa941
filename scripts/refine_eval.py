#!/usr/bin/python3
"""Scores ondrel's refinements and OpenCV's StereoSGBM against ground truth.

usage: scripts/refine_eval.py REFINE_MAPS_BINARY [DATA_ROOT] [variant ...]

A variant name ending in "+census" runs that variant with the census cost (cost=census), e.g.
"refined+census" or "designed+census".

REFINE_MAPS_BINARY is build/tools/refine-maps/refine-maps; DATA_ROOT (default ../shared/data)
holds middlebury/ (the four classic pairs and gt/), middlebury2006/ and middlebury2014/ (scenes
in the 2014 layout: im0.png, im1.png, disp0GT.pfm, mask0nocc.png, calib.txt). Every figure is
taken over the pixels that are not occluded and have a ground truth value: bad 1/2/4 = % of
them off by more than 1/2/4 pixels, a pixel without a value counted as bad; avg = mean absolute
error over those with a value; density = % with a value. Time: seconds of the one call (ondrel)
or of compute() (SGBM), on whatever threads the machine offers.
"""
import os
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

CLASSIC = [("Tsukuba", 15, 16), ("Venus", 19, 8), ("Teddy", 59, 4), ("Cones", 59, 4)]
MODERN = [("middlebury2006", "Aloe"), ("middlebury2006", "Rocks1"), ("middlebury2006", "Books"),
          ("middlebury2014", "Motorcycle")]

# name -> refine-maps options (median filter in the library) or a Python post-filter
VARIANTS = {
    "designed": ["check=0", "fill=0", "median=0"],
    "check": ["check=1", "fill=0", "median=0"],
    "fill": ["check=0", "fill=1", "median=0"],
    "median": ["check=0", "fill=0"],
    "check+fill": ["check=1", "fill=1", "median=0"],
    "refined": [],
    "fill+median": ["check=0", "fill=1"],
    "check2+fill+median": ["tolerance=2"],
    "check+fill+median3x3": ["check=1", "fill=1", "median=0"],
    "check+fill+wls": ["check=1", "fill=1", "median=0"],
    "check+fill+ximgproc-wm": ["check=1", "fill=1", "median=0"],
    "sgbm": None,
    "sgbm-filters": None,
}


def read_pfm(path):
    with open(path, "rb") as f:
        assert f.readline().strip() == b"Pf"
        w, h = map(int, f.readline().split())
        scale = float(f.readline())
        data = np.fromfile(f, dtype="<f4" if scale < 0 else ">f4", count=w * h)
    return np.flipud(data.reshape(h, w)).astype(np.float32)


def scenes(root):
    for name, maxd, scale in CLASSIC:
        d = os.path.join(root, "middlebury")
        gt = cv2.imread(os.path.join(d, "gt", name + "_gt.png"), cv2.IMREAD_GRAYSCALE).astype(np.float32) / scale
        mask = cv2.imread(os.path.join(d, "gt", name + "_nonocc.png"), cv2.IMREAD_GRAYSCALE) == 255
        yield name, os.path.join(d, name + "_L.png"), os.path.join(d, name + "_R.png"), maxd, gt, mask & (gt > 0)
    for folder, name in MODERN:
        d = os.path.join(root, folder, name)
        calib = dict(line.strip().split("=", 1) for line in open(os.path.join(d, "calib.txt")) if "=" in line)
        gt = read_pfm(os.path.join(d, "disp0GT.pfm"))
        mask = cv2.imread(os.path.join(d, "mask0nocc.png"), cv2.IMREAD_GRAYSCALE) == 255
        yield name, os.path.join(d, "im0.png"), os.path.join(d, "im1.png"), int(calib["ndisp"]) - 1, gt, \
            mask & np.isfinite(gt)


def score(disp, gt, mask):
    valid = mask & np.isfinite(disp)
    err = np.abs(disp - gt)
    n = mask.sum()
    bad = [100.0 * (mask.sum() - (valid & (err <= t)).sum()) / n for t in (1, 2, 4)]
    return bad + [float(err[valid].mean()) if valid.any() else float("nan"), 100.0 * valid.sum() / n]


def sgbm(left, right, maxd, filters):
    block = 5
    m = cv2.StereoSGBM_create(0, (maxd + 1 + 15) // 16 * 16, block, 8 * 3 * block * block, 32 * 3 * block * block,
                              1 if filters else -1, 63, 10 if filters else 0, 100 if filters else 0,
                              2 if filters else 0, cv2.STEREO_SGBM_MODE_SGBM_3WAY)
    start = time.perf_counter()
    d16 = m.compute(left, right)
    seconds = time.perf_counter() - start
    d = d16.astype(np.float32) / 16
    d[d16 < 0] = np.nan
    return d, seconds


def post_filter(name, disp, left):
    start = time.perf_counter()
    if name.endswith("median3x3"):
        out = cv2.medianBlur(disp, 3)
    elif name.endswith("wls"):
        wls = cv2.ximgproc.createDisparityWLSFilterGeneric(False)
        wls.setLambda(8000.0)
        wls.setSigmaColor(1.5)
        d16 = np.nan_to_num(disp * 16, nan=0).astype(np.int16)
        out = wls.filter(d16, left, None, None, (0, 0, left.shape[1], left.shape[0])).astype(np.float32) / 16
    elif name.endswith("ximgproc-wm"):
        out = cv2.ximgproc.weightedMedianFilter(left, np.nan_to_num(disp, nan=0), 4, 12)
    else:
        return disp, 0.0
    return out, time.perf_counter() - start


def main():
    binary = sys.argv[1]
    root = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")
    wanted = sys.argv[3:] or list(VARIANTS)
    print("scene variant bad1 bad2 bad4 avg density seconds")
    with tempfile.TemporaryDirectory() as tmp:
        for name, lpath, rpath, maxd, gt, mask in scenes(root):
            left, right = cv2.imread(lpath, cv2.IMREAD_COLOR), cv2.imread(rpath, cv2.IMREAD_COLOR)
            for v in wanted:
                census = v.endswith("+census")
                base = v[:-len("+census")] if census else v
                if VARIANTS[base] is None:
                    disp, seconds = sgbm(left, right, maxd, base == "sgbm-filters")
                else:
                    out = os.path.join(tmp, "d.pfm")
                    options = VARIANTS[base] + (["cost=census"] if census else [])
                    run = subprocess.run([binary, lpath, rpath, str(maxd), out] + options, check=True,
                                         capture_output=True, text=True)
                    seconds = float(run.stdout.split()[-1])
                    disp, extra = post_filter(base, read_pfm(out), left)
                    seconds += extra
                s = score(disp, gt, mask)
                print(f"{name} {v} {s[0]:.1f} {s[1]:.1f} {s[2]:.1f} {s[3]:.2f} {s[4]:.1f} {seconds:.2f}", flush=True)


if __name__ == "__main__":
    main()
