#!/usr/bin/python3
"""The README's results table: the designed map (ondrel-match), the refined map (ondrel-match
--refine) and OpenCV's StereoSGBM in the same run, on every Middlebury-2014-layout scene (im0.png,
im1.png, calib.txt, disp0GT.pfm, mask0nocc.png) of the given folders.

    /usr/bin/python3 bench/compare_sgbm.py [--build build] [--scenes] FOLDER...

SGBM: 3-way mode, block 5, P1 600, P2 2400, disp12MaxDiff 1, uniquenessRatio 10, speckle window 100
and range 2, numDisparities = ndisp rounded up to 16 (Debian's python3-opencv). Everything with 2
threads; the time is the fastest of three runs of the matching alone (ondrel-match --time, SGBM's
compute()). Measures over the nonoccluded pixels with a known true disparity (mask 255): bad-2 and
bad-1 (% off by more than 2 or 1 pixels, a pixel without a value counted as bad), the average
absolute error over the pixels with a value (values clipped to 0 .. ndisp as the benchmark's
evaluator does) and the density (% with a value). The table row is the plain mean over the scenes;
--scenes also prints every scene's figures. Scenes, calib.txt and PFM files are read through the
ondrel module of the build (its one reader of each).
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

METHODS = ("Ondrel (designed)", "Ondrel --refine", "SGBM")


def figures(disparity, truth, evaluated, ndisp):
    """bad-2, bad-1, average error, density (NaN or +-inf: no value)."""
    d, gt = disparity[evaluated], truth[evaluated]
    has = np.isfinite(d)
    err = np.abs(np.clip(d[has], 0, ndisp) - gt[has])
    bad = lambda t: 100.0 * (np.count_nonzero(err > t) + np.count_nonzero(~has)) / d.size
    return bad(2), bad(1), float(err.mean()) if err.size else float("nan"), 100.0 * has.mean()


def fastest(run, times=3):
    """(result of the last run, the least seconds of the runs); run returns (result, seconds)."""
    best, result = float("inf"), None
    for _ in range(times):
        result, seconds = run()
        best = min(best, seconds)
    return result, best


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build", help="the CMake build folder (default: build)")
    ap.add_argument("--scenes", action="store_true", help="also print every scene's figures")
    ap.add_argument("folders", nargs="+")
    a = ap.parse_args()
    sys.path.insert(0, os.path.join(a.build, "python"))
    import ondrel
    match = os.path.join(a.build, "tools", "match", "ondrel-match")
    cv2.setNumThreads(2)
    tmp = tempfile.mkdtemp()
    rows = {m: [] for m in METHODS}
    for folder in a.folders:
        for scene in ondrel.find_scenes(folder):
            d = os.path.join(folder, scene)
            if not os.path.exists(os.path.join(d, "disp0GT.pfm")):
                continue
            ndisp = ondrel.read_calib(os.path.join(d, "calib.txt")).ndisp
            truth = ondrel.read_pfm(os.path.join(d, "disp0GT.pfm"))
            evaluated = (cv2.imread(os.path.join(d, "mask0nocc.png"), cv2.IMREAD_GRAYSCALE) == 255) & np.isfinite(truth)
            out, seconds = os.path.join(tmp, "d.pfm"), os.path.join(tmp, "t.txt")

            def ondrel_match(*flags):
                subprocess.run([match, "--calib", os.path.join(d, "calib.txt"), "-q", "--threads", "2", "-o", out,
                                "--time", seconds, *flags, os.path.join(d, "im0.png"), os.path.join(d, "im1.png")],
                               check=True)
                with open(seconds) as f:
                    return ondrel.read_pfm(out), float(f.read())

            left, right = cv2.imread(os.path.join(d, "im0.png")), cv2.imread(os.path.join(d, "im1.png"))
            sgbm = cv2.StereoSGBM_create(0, (ndisp + 15) // 16 * 16, 5, P1=600, P2=2400, disp12MaxDiff=1,
                                         uniquenessRatio=10, speckleWindowSize=100, speckleRange=2,
                                         mode=cv2.STEREO_SGBM_MODE_SGBM_3WAY)

            def sgbm_match():
                start = time.perf_counter()
                s = sgbm.compute(left, right)
                seconds = time.perf_counter() - start
                s = s.astype(np.float32) / 16
                s[s < 0] = np.nan
                return s, seconds

            for method, run in zip(METHODS, (ondrel_match, lambda: ondrel_match("--refine"), sgbm_match)):
                disparity, best = fastest(run)
                rows[method].append((scene,) + figures(disparity, truth, evaluated, ndisp) + (best,))
                if a.scenes:
                    print(f"{scene:12s} {method:18s} " + " ".join(f"{v:7.2f}" for v in rows[method][-1][1:]),
                          file=sys.stderr, flush=True)
    scenes = len(rows[METHODS[0]])
    print(f"Mean over {scenes} scenes, nonoccluded pixels, 2 threads:\n")
    print("| | bad-2 % | bad-1 % | average error px | density % | seconds per scene |")
    print("|---|---|---|---|---|---|")
    for method in METHODS:
        m = np.array([r[1:] for r in rows[method]])
        print(f"| {method} | " + " | ".join(f"{v:.2f}" for v in m.mean(axis=0)) + " |")


if __name__ == "__main__":
    main()
