"""The Python module: arguments, views of any layout, a pair with a known answer, PFM files,
and the Dask batch runner against in-process matching."""
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import ondrel

SHIFT = 5
SMALL = dict(support_radius=4, block_radius=1)


def textured_pair(h=40, w=64, shift=SHIFT, seed=7):
    """A random texture and the same texture shifted left by `shift`: disparity `shift` everywhere."""
    rng = np.random.default_rng(seed)
    scene = rng.integers(0, 256, size=(h, w + shift, 3), dtype=np.uint8)
    return np.ascontiguousarray(scene[:, :w]), np.ascontiguousarray(scene[:, shift:])


def test_both_costs_find_the_shift_and_refined_maps_are_dense():
    left, right = textured_pair()
    r = ondrel.match(left, right, 8, **SMALL)
    for plane in (r.disparity, r.uniqueness, r.right_disparity):
        assert plane.dtype == np.float32 and plane.shape == left.shape[:2]
    assert r.seconds >= 0
    darker = (right.astype(np.float32) * 0.6 + 40).astype(np.uint8)  # another exposure in the right view
    maps = [r.disparity, ondrel.match(left, darker, 8, cost="census", **SMALL).disparity]
    refined = [ondrel.match_refined(left, right, 8, cost=cost, threads=2, **SMALL) for cost in ("tad", "census")]
    assert all(r.seconds >= 0 for r in refined)
    maps += [r.disparity for r in refined]
    assert not np.isnan(maps[2]).any() and not np.isnan(maps[3]).any()  # the refined maps are dense
    for cost in ("tad", "census"):  # two rows too (a block of one pixel)
        two_rows = ondrel.match_refined(*textured_pair(h=2), 8, cost=cost, support_radius=4, block_radius=0)
        assert not np.isnan(two_rows.disparity).any()
    for m in maps:
        assert np.mean(np.abs(m[4:-4, 12:-4] - SHIFT) < 0.5) > 0.95


def bad2(disparity, truth):
    known = np.isfinite(truth)
    return 100.0 * np.mean(~(np.abs(disparity[known] - truth[known]) <= 2))


def test_a_pair_shifted_below_zero_matches_as_the_pair_and_the_confidence_ranks_its_errors(tmp_path):
    """Tsukuba with its right view moved right by 24 columns (disparities -24 .. -9) matched with
    min_disparity: the map of the pair less 24, within 2 points of bad-2, the same from Python and
    from ondrel-match; the most confident half holds at most half of the errors' share."""
    folder = os.environ.get("ONDREL_DATA_DIR", "")
    paths = [os.path.join(folder, name) for name in ("Tsukuba_L.png", "Tsukuba_R.png", "gt/Tsukuba_gt.png")]
    if not all(os.path.exists(p) for p in paths):
        pytest.skip("no Middlebury data in ONDREL_DATA_DIR")
    left, right, truth = (ondrel.read_image(p) for p in paths)
    truth = truth[:, :, 0].astype(np.float32) / 16
    truth[truth == 0] = np.nan
    s = 24
    moved = np.empty_like(right)
    moved[:, s:] = right[:, :-s]
    moved[:, :s] = right[:, :1]
    pair = ondrel.match(left, right, 15, threads=2)
    shifted = ondrel.match(left, moved, 15 - s, min_disparity=-s, threads=2)
    assert abs(bad2(shifted.disparity + s, truth) - bad2(pair.disparity, truth)) <= 2
    cli = os.environ.get("ONDREL_MATCH")
    if cli:
        import cv2
        cv2.imwrite(str(tmp_path / "l.png"), left), cv2.imwrite(str(tmp_path / "r.png"), moved)
        run = subprocess.run([cli, "-q", "--min-disparity", str(-s), "-d", str(15 - s), "--threads", "2", "-o",
                              str(tmp_path / "d.pfm"), "--confidence", str(tmp_path / "c.pfm"),
                              str(tmp_path / "l.png"), str(tmp_path / "r.png")], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        written = ondrel.read_pfm(str(tmp_path / "d.pfm"))
        np.testing.assert_array_equal(np.where(np.isfinite(written), written, np.nan), shifted.disparity)
        np.testing.assert_array_equal(ondrel.read_pfm(str(tmp_path / "c.pfm")), shifted.confidence)
    c = pair.confidence
    assert c.dtype == np.float32 and c.min() >= 0 and c.max() <= 1 and not c[np.isnan(pair.disparity)].any()
    known = np.isfinite(truth)
    order = np.argsort(-c[known], kind="stable")
    bad = ~(np.abs(pair.disparity[known] - truth[known]) <= 2)
    assert bad[order[:len(order) // 2]].mean() <= 0.5 * bad.mean()


def test_views_of_any_layout_give_the_same_planes():
    left, right = textured_pair(seed=3)
    base = ondrel.match(left, right, 8, **SMALL)
    padded = np.zeros((left.shape[0], left.shape[1] + 7, 3), np.uint8)
    padded[:, :left.shape[1]] = left
    flipped = np.ascontiguousarray(right[::-1])[::-1]  # negative row stride
    for l, r in ((padded[:, :left.shape[1]], right), (left, flipped), (np.asfortranarray(left), right)):
        got = ondrel.match(l, r, 8, **SMALL)
        np.testing.assert_array_equal(got.disparity, base.disparity)
        np.testing.assert_array_equal(got.uniqueness, base.uniqueness)
    grey_l, grey_r = left[:, :, 1].copy(), right[:, :, 1].copy()
    as_colour = ondrel.match(np.repeat(grey_l[:, :, None], 3, 2), np.repeat(grey_r[:, :, None], 3, 2), 8, **SMALL)
    np.testing.assert_array_equal(ondrel.match(grey_l, grey_r, 8, **SMALL).disparity, as_colour.disparity)
    np.testing.assert_array_equal(ondrel.match(grey_l[:, :, None], grey_r[:, :, None], 8, **SMALL).disparity,
                                  as_colour.disparity)
    alpha = np.random.default_rng(5).integers(0, 256, size=left.shape[:2] + (1,), dtype=np.uint8)
    bgra = [np.concatenate([v, alpha], axis=2) for v in (left, right)]  # the alpha is dropped
    np.testing.assert_array_equal(ondrel.match(*bgra, 8, **SMALL).disparity, base.disparity)
    np.testing.assert_array_equal(ondrel.match_refined(*bgra, 8, **SMALL).disparity,
                                  ondrel.match_refined(left, right, 8, **SMALL).disparity)


def test_refine_options_are_keyword_arguments():
    left, right = textured_pair(seed=4)
    left[10:20, 20:40] = 0  # a flat patch: some pixels without a value before the fill
    unfilled = ondrel.match_refined(left, right, 8, fill=False, median_radius=0, **SMALL).disparity
    assert np.isnan(unfilled).any()
    plain = ondrel.match_refined(left, right, 8, method="designed", consistency_check=False, fill=False,
                                 median_radius=0, **SMALL)
    np.testing.assert_array_equal(plain.disparity, ondrel.match(left, right, 8, **SMALL).disparity)
    for bad, message in (({"median_radius": 2.5}, "median_radius must be an integer"),
                         ({"fill": 1}, "fill must be True or False"),
                         ({"median_gamma_color": "x"}, "median_gamma_color must be a number"),
                         ({"median_radius": 99}, "median_radius"), ({"method": "fast"}, "method must be"),
                         ({"paths": 6}, "paths must be 4 or 8")):
        with pytest.raises(ValueError, match=message):
            ondrel.match_refined(left, right, 8, **bad, **SMALL)
    with pytest.raises(TypeError, match="median_size"):
        ondrel.match_refined(left, right, 8, median_size=3, **SMALL)


def test_ctrl_c_cancels_a_match_in_a_fraction_of_a_second():
    import signal
    import threading
    import time
    left, right = textured_pair(h=1200, w=1800)
    started = time.monotonic()
    ondrel.match(left[:120], right[:120], 400, threads=1)  # a tenth of the rows below
    tenth = time.monotonic() - started
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        ondrel.match(left, right, 400, threads=1)
    # well before the whole match's ten tenths (generous: the machine may be busy)
    assert time.monotonic() - started < 0.5 + 5 * tenth
    timer.join()


@pytest.mark.parametrize("left, right, kwargs, message", [
    (np.zeros((20, 20, 3), np.float32), None, {}, "uint8"),
    (np.zeros((20, 20, 2), np.uint8), None, {}, "H x W x 3"),
    (np.zeros((20, 20, 3), np.uint8), np.zeros((20, 21, 3), np.uint8), {}, "same size"),
    # the library's messages name the parameter (its own tests have each one)
    (None, None, {"block_radius": 2}, r"block_radius: 2\*block_radius\+1 \(5\) must divide"),
    (None, None, {"threads": 10**5}, r"threads \(100000\) must lie in 0 \.\.\. 1024"),
    (None, None, {"threads": 2**31 - 1}, "threads"),
    (None, None, {"threads": 10**6}, "threads"),
    (None, None, {"gamma_color": 0}, "gamma_color"),
    (None, None, {"gamma_color": -1}, "gamma_color"),
    (None, None, {"gamma_color": float("nan")}, "gamma_color"),
    (None, None, {"gamma_space": float("nan")}, "gamma_space"),
    (None, None, {"max_disparity": 2**40}, "max_disparity .* out of range"),
    (None, None, {"support_radius": 2.5}, "support_radius must be an integer"),
    (None, None, {"gamma_color": "wide"}, "gamma_color must be a number"),
    (None, None, {"cost": "sad"}, "cost must be 'tad' or 'census'"),
])
def test_bad_arguments_raise_value_error(left, right, kwargs, message):
    l0, r0 = textured_pair()
    left, right = (l0, r0) if left is None else (left, left if right is None else right)
    args = {**SMALL, **kwargs}
    with pytest.raises(ValueError, match=message):
        ondrel.match(left, right, args.pop("max_disparity", 8), **args)


# A view whose contiguous copy does not fit under the address-space limit: MemoryError, and the
# interpreter goes on.
def test_a_view_copy_past_the_memory_raises_memory_error():
    script = """if 1:
        import re, resource
        import numpy as np
        import ondrel
        view = np.ones((3000, 8000, 3), np.uint8)[:, ::2]  # a copy of 36 MB
        size = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), resource.RLIM_INFINITY))
        try:
            ondrel.match(view, view, 8)
        except MemoryError as e:
            print("MemoryError", e)
    """
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and run.stdout.startswith("MemoryError"), run.stdout + run.stderr


# The formats the reader takes and refuses are the C++ image reader's tests (ImageFile); here the array and None.
def test_read_image_gives_the_view_or_none(tmp_path):
    import cv2
    image = np.random.default_rng(3).integers(0, 256, size=(5, 7, 3), dtype=np.uint8)
    cv2.imwrite(str(tmp_path / "v.png"), image)
    assert np.array_equal(ondrel.read_image(tmp_path / "v.png"), image)
    (tmp_path / "t.png").write_text("not an image")
    assert ondrel.read_image(tmp_path / "t.png") is None and ondrel.read_image(tmp_path / "none.png") is None


# The rules of the PFM, calib.txt and scene-folder units are the C++ tests' (Pfm, Calib, Scenes); here
# that Python reaches them, with NaN for no value in its arrays and the errors it raises.
def test_files_through_the_programs_units(tmp_path):
    a = np.arange(12, dtype=np.float32).reshape(3, 4) / 3
    a[1, 2] = np.nan
    ondrel.write_pfm(tmp_path / "d.pfm", a[::-1][::-1])
    raw = (tmp_path / "d.pfm").read_bytes()
    assert raw.startswith(b"Pf\n4 3\n-1\n") and np.frombuffer(raw[-16:], "<f4").tolist() == a[0].tolist()
    assert np.isinf(np.frombuffer(raw[10:], "<f4")).sum() == 1  # +inf in the file
    np.testing.assert_array_equal(ondrel.read_pfm(tmp_path / "d.pfm"), a)  # NaN in the array
    (tmp_path / "bad.pfm").write_bytes(raw[:-4])
    with pytest.raises(ValueError, match="cut short"):
        ondrel.read_pfm(tmp_path / "bad.pfm")
    with pytest.raises(FileNotFoundError):
        ondrel.read_pfm(tmp_path / "none.pfm")
    with pytest.raises(ValueError, match="2-D"):
        ondrel.write_pfm(tmp_path / "e.pfm", np.zeros(3))

    (tmp_path / "calib.txt").write_text("cam0=[500 0 30; 0 500 20; 0 0 1]\nbaseline=170\nndisp=64\n")
    c = ondrel.read_calib(tmp_path / "calib.txt")
    assert (c.ndisp, c.focal, c.cx, c.cy, c.baseline, c.doffs, c.width) == (64, 500, 30, 20, 170, 0, None)
    (tmp_path / "calib.txt").write_text("ndisp=0\n")
    with pytest.raises(ValueError, match="ndisp '0' is not an integer"):
        ondrel.read_calib(tmp_path / "calib.txt")
    with pytest.raises(FileNotFoundError):
        ondrel.read_calib(tmp_path / "none.txt")

    write_scenes(tmp_path / "scenes")
    assert ondrel.find_scenes(tmp_path / "scenes") == ["a", "b", "broken"]
    for view in ("image_2", "image_3"):
        os.makedirs(tmp_path / "kitti" / view)
        (tmp_path / "kitti" / view / "000000_10.png").write_text("x")
    assert ondrel.find_kitti_pairs(tmp_path / "kitti") == ["000000_10"]
    with pytest.raises(ValueError):
        ondrel.find_scenes(tmp_path / "none")


def test_defaults_and_cost_names_are_the_librarys():
    import inspect
    p = ondrel.Parameters()
    for f in (ondrel.match, ondrel.match_refined):
        kw = {k: v.default for k, v in inspect.signature(f).parameters.items() if v.kind == v.KEYWORD_ONLY}
        for name in ("support_radius", "block_radius", "gamma_space", "gamma_color", "tad_threshold"):
            assert kw[name] == getattr(p, name)
        assert kw["cost"] == p.cost.name and sorted(ondrel.Cost.__members__) == ["census", "tad"]


# write_pfm is the C++ writer (test_util has its signal and name tests): a SIGTERM during its fsync
# leaves nothing, a SIGINT waits for it to finish, and no temporary file is left either way; a
# 255-byte name is written and replaced.
def test_write_pfm_leaves_no_temporary_file_and_takes_the_longest_name(tmp_path):
    script = "import sys, ondrel; ondrel.write_pfm(sys.argv[1], [[1.5, 2.5]])"
    for signum in ("SIGTERM", "SIGINT") if shutil.which("strace") else ():
        folder = tmp_path / signum
        folder.mkdir()
        run = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                              f"inject=fsync:signal={signum}", sys.executable, "-c", script, str(folder / "m.pfm")],
                             capture_output=True, text=True, timeout=60)
        assert run.returncode != 0
        assert os.listdir(folder) == ([] if signum == "SIGTERM" else ["m.pfm"]), run.stderr
    longest = tmp_path / ("n" * 255)
    for value in (1.0, 2.0):
        ondrel.write_pfm(longest, [[value]])
        assert ondrel.read_pfm(longest)[0, 0] == value
    with pytest.raises(ValueError, match="too long"):
        ondrel.write_pfm(tmp_path / ("n" * 256), [[1.0]])
    assert sorted(os.listdir(tmp_path)) == [name for name in ("SIGINT", "SIGTERM") if shutil.which("strace")] + [
        "n" * 255]


def write_scenes(folder):
    import cv2
    for name, seed, ndisp in (("a", 1, 9), ("b", 2, 12)):
        left, right = textured_pair(seed=seed)
        os.makedirs(folder / name)
        for f, view in (("im0.png", left), ("im1.png", right)):
            cv2.imwrite(str(folder / name / f), view)
        (folder / name / "calib.txt").write_text(f"width=64\nheight=40\nndisp={ndisp}\nvmin=1\nvmax=8\n")
    os.makedirs(folder / "broken")
    for f, text in (("im0.png", "not a png"), ("im1.png", "not a png"), ("calib.txt", "ndisp=9\n")):
        (folder / "broken" / f).write_text(text)


def test_dask_batch_matches_in_process_and_the_command_line(tmp_path):
    import cv2
    scenes, out = tmp_path / "scenes", tmp_path / "out"
    write_scenes(scenes)
    # the batch runner as a user starts it: a local cluster of two single-threaded workers
    run = subprocess.run([sys.executable, "-m", "ondrel.batch", str(scenes), str(out), "--workers", "2"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 1, run.stderr  # the broken scene fails, the others are written
    assert "broken: " in run.stderr and "1 of 3 scenes failed" in run.stderr
    assert sorted(os.listdir(out)) == ["a", "b"]
    cli = os.environ.get("ONDREL_MATCH")
    if cli:
        subprocess.run([cli, "--middlebury", str(scenes), str(tmp_path / "cli")], capture_output=True, timeout=300)
    for name, ndisp in (("a", 9), ("b", 12)):
        left = cv2.imread(str(scenes / name / "im0.png"))
        right = cv2.imread(str(scenes / name / "im1.png"))
        ondrel.write_pfm(str(tmp_path / "here.pfm"), ondrel.match(left, right, ndisp - 1, threads=1).disparity)
        assert sorted(os.listdir(out / name)) == ["disp0Ondrel.pfm", "timeOndrel.txt"]
        assert (out / name / "disp0Ondrel.pfm").read_bytes() == (tmp_path / "here.pfm").read_bytes()
        assert float((out / name / "timeOndrel.txt").read_text()) >= 0
        if cli:
            assert (tmp_path / "cli" / name / "disp0Ondrel.pfm").read_bytes() == (tmp_path / "here.pfm").read_bytes()


def test_reproject_follows_the_formulas_and_the_command_line(tmp_path):
    (tmp_path / "calib.txt").write_text("cam0=[1733.74 0 792.27; 0 1733.74 541.89; 0 0 1]\n"
                                        "cam1=[1733.74 0 792.27; 0 1733.74 541.89; 0 0 1]\n"
                                        "doffs=-2.5\nbaseline=536.62\nwidth=64\nheight=40\nndisp=9\n")
    calib = ondrel.read_calib(tmp_path / "calib.txt")
    left, right = textured_pair(seed=11)
    d = ondrel.match(left, right, 8, **SMALL).disparity
    d[0, 20] = 1.5  # d + doffs < 0: no point
    points = ondrel.reproject(d, calib)
    assert points.shape == d.shape + (3,) and points.dtype == np.float32
    f, cx, cy, b, doffs = 1733.74, 792.27, 541.89, 536.62, -2.5
    shifted = d.astype(np.float64) + doffs
    with np.errstate(invalid="ignore", divide="ignore"):
        z = np.where(np.isfinite(shifted) & (shifted > 0), b * f / shifted, np.nan)
    v, u = np.mgrid[0:d.shape[0], 0:d.shape[1]]
    want = np.stack([(u - cx) * z / f, (v - cy) * z / f, z], axis=2).astype(np.float32)
    np.testing.assert_array_equal(points, want)
    assert np.isnan(points[0, 20]).all() and np.isnan(points[:, :8]).all()
    cli = os.environ.get("ONDREL_MATCH")
    if cli:  # the command line's depth map holds the same z
        import cv2
        cv2.imwrite(str(tmp_path / "l.png"), left)
        cv2.imwrite(str(tmp_path / "r.png"), right)
        run = subprocess.run([cli, "-q", "--calib", str(tmp_path / "calib.txt"), "-R", "4", "-r", "1",
                              "--depth", str(tmp_path / "z.pfm"), str(tmp_path / "l.png"), str(tmp_path / "r.png")],
                             capture_output=True, text=True, timeout=60)
        assert run.returncode == 0, run.stderr
        z_cli = ondrel.read_pfm(tmp_path / "z.pfm")
        keep = np.ones(d.shape, bool)
        keep[0, 20] = False
        np.testing.assert_array_equal(z_cli[keep], points[:, :, 2][keep])
    (tmp_path / "calib.txt").write_text("ndisp=9\n")
    with pytest.raises(ValueError, match="cam0"):
        ondrel.reproject(d, ondrel.read_calib(tmp_path / "calib.txt"))
