#!/usr/bin/python3
"""The sparsification curves of ondrel's confidence: bad-2 among the most confident p % of the
pixels, p = 10 ... 100, and the most confident half's bad-2 over all pixels' (below 0.5: the
confidence ranks well), also counted over the pixels seen by both views alone (nonocc). Prints a
Markdown table (docs/confidence.md holds one).

usage: PYTHONPATH=build/python scripts/sparsification.py [DATA_ROOT] [--refined [--designed]] [--threads N]
(--designed: the refined map of the designed-match method)

DATA_ROOT (default ../shared/data) holds middlebury/ (the four classic pairs and gt/) and folders
of scenes in the Middlebury 2014 layout (im0.png, im1.png, calib.txt, disp0GT.pfm): middeval3Q/,
middlebury2006/. Every pixel with a ground truth value counts; one without a disparity is bad and
has confidence 0. The order among equal confidences is the pixels' order.
"""
import os
import sys

import numpy as np

import ondrel

# the classic pairs: name, largest disparity, ground truth scale (a value of the PNG / disparity)
CLASSIC = [("Tsukuba", 15, 16), ("Venus", 19, 8), ("Teddy", 59, 4), ("Cones", 59, 4)]

SCENE_FOLDERS = ["middeval3Q", "middlebury2006"]
SHARES = list(range(10, 101, 10))


def curve(disparity, confidence, truth, counted=None):
    """bad-2 (%) among the most confident p % of the pixels with a truth (and counted), for p in SHARES."""
    known = np.isfinite(truth) if counted is None else np.isfinite(truth) & counted
    bad = ~(np.abs(disparity[known] - truth[known]) <= 2)  # NaN: bad
    order = np.argsort(-confidence[known], kind="stable")
    bad = bad[order]
    return [100.0 * bad[:max(1, round(len(bad) * p / 100))].mean() for p in SHARES]


def pairs(root):
    """(name, left, right, max_disparity, truth, nonocc) of every pair under root."""
    for name, max_disparity, scale in CLASSIC:
        folder = os.path.join(root, "middlebury")
        left = ondrel.read_image(os.path.join(folder, f"{name}_L.png"))
        right = ondrel.read_image(os.path.join(folder, f"{name}_R.png"))
        truth = ondrel.read_image(os.path.join(folder, "gt", f"{name}_gt.png"))
        if left is None or right is None or truth is None:
            continue
        truth = truth[:, :, 0].astype(np.float32) / scale
        truth[truth == 0] = np.nan
        nonocc = ondrel.read_image(os.path.join(folder, "gt", f"{name}_nonocc.png"))
        yield name, left, right, max_disparity, truth, None if nonocc is None else nonocc[:, :, 0] == 255
    for set_name in SCENE_FOLDERS:
        folder = os.path.join(root, set_name)
        if not os.path.isdir(folder):
            continue
        for scene in ondrel.find_scenes(folder):
            path = os.path.join(folder, scene)
            if not os.path.exists(os.path.join(path, "disp0GT.pfm")):
                continue
            truth = ondrel.read_pfm(os.path.join(path, "disp0GT.pfm"))
            truth[~np.isfinite(truth)] = np.nan
            ndisp = ondrel.read_calib(os.path.join(path, "calib.txt")).ndisp
            nonocc = ondrel.read_image(os.path.join(path, "mask0nocc.png"))
            yield (f"{set_name}/{scene}", ondrel.read_image(os.path.join(path, "im0.png")),
                   ondrel.read_image(os.path.join(path, "im1.png")), ndisp - 1, truth,
                   None if nonocc is None else nonocc[:, :, 0] == 255)


def main(argv):
    refined = "--refined" in argv
    method = "designed" if "--designed" in argv else "semi-global"
    threads = 0
    if "--threads" in argv:
        threads = int(argv[argv.index("--threads") + 1])
        argv = argv[:argv.index("--threads")] + argv[argv.index("--threads") + 2:]
    rest = [a for a in argv if a not in ("--refined", "--designed")]
    root = rest[0] if rest else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data")
    print("| pair | " + " | ".join(f"{p} %" for p in SHARES) + " | half / all | nonocc |")
    print("|---|" + "---:|" * (len(SHARES) + 2))
    for name, left, right, max_disparity, truth, nonocc in pairs(root):
        if refined:
            result = ondrel.match_refined(left, right, max_disparity, threads=threads, method=method)
        else:
            result = ondrel.match(left, right, max_disparity, threads=threads)
        bad = curve(result.disparity, result.confidence, truth)
        ratio = bad[4] / bad[-1] if bad[-1] > 0 else 0.0
        seen = curve(result.disparity, result.confidence, truth, nonocc) if nonocc is not None else None
        seen_ratio = f"{seen[4] / seen[-1]:.2f}" if seen and seen[-1] > 0 else "-"
        print(f"| {name} | " + " | ".join(f"{b:.1f}" for b in bad) + f" | {ratio:.2f} | {seen_ratio} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
