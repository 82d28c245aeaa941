"""The Python module: arguments, views of any layout, a pair with a known answer, PFM files,
and the Dask batch runner against in-process matching."""
import concurrent.futures
import os
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


def test_a_pair_shifted_below_zero_matches_as_the_pair_and_the_confidence_ranks_its_errors():
    """Tsukuba with its right view moved right by 24 columns (disparities -24 .. -9) matched with
    min_disparity: the map of the pair less 24, within 2 points of bad-2; the most confident half
    holds at most half of the errors' share."""
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
    # one Matcher over calls of other sizes and gammas, and match() from several threads at once (its shared
    # Matcher, or one of their own), give the planes of fresh calls
    matcher = ondrel.Matcher()
    big_l, big_r = textured_pair(60, 80, seed=4)
    for l, r, kw in ((left, right, SMALL), (big_l, big_r, dict(SMALL, gamma_color=11)), (left, right, SMALL)):
        got, want = matcher.compute(l, r, 8, **kw), ondrel.Matcher().compute(l, r, 8, **kw)
        for name in ("disparity", "uniqueness", "right_disparity", "confidence"):
            np.testing.assert_array_equal(getattr(got, name), getattr(want, name))
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        for got in pool.map(lambda _: ondrel.match(left, right, 8, **SMALL), range(6)):
            np.testing.assert_array_equal(got.confidence, base.confidence)


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
    (None, None, {"gamma_color": 0}, "gamma_color"),
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
    with pytest.raises(ValueError, match="too long"):  # the writer's own tests are test_util's (FileWriting)
        ondrel.write_pfm(tmp_path / ("n" * 256), [[1.0]])

    (tmp_path / "calib.txt").write_text("cam0=[500 0 30; 0 500 20; 0 0 1]\nbaseline=170\nndisp=64\n")
    c = ondrel.read_calib(tmp_path / "calib.txt")
    assert (c.ndisp, c.focal, c.cx, c.cy, c.baseline, c.doffs, c.width) == (64, 500, 30, 20, 170, 0, None)
    (tmp_path / "calib.txt").write_text("ndisp=0\n")
    with pytest.raises(ValueError, match="ndisp '0' is not an integer"):
        ondrel.read_calib(tmp_path / "calib.txt")
    with pytest.raises(FileNotFoundError):
        ondrel.read_calib(tmp_path / "none.txt")

    for folder, names in (("scenes/b", ("im0.png", "im1.png", "calib.txt")), ("scenes/a", ("im0.png", "im1.png")),
                          ("kitti/image_2", ("000000_10.png",)), ("kitti/image_3", ("000000_10.png",))):
        os.makedirs(tmp_path / folder)
        for name in names:
            (tmp_path / folder / name).write_text("x")
    assert ondrel.find_scenes(tmp_path / "scenes") == ["b"]
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


def test_reproject_follows_the_formulas(tmp_path):
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
    (tmp_path / "calib.txt").write_text("ndisp=9\n")
    with pytest.raises(ValueError, match="cam0"):
        ondrel.reproject(d, ondrel.read_calib(tmp_path / "calib.txt"))
