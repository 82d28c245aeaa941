"""The batch runners as a user drives them: python3 -m ondrel.batch (and ondrel-match's batches where
built) with a method name, the matcher's options, --skip-existing, the KITTI layout, Ctrl-C, and a
scheduler that cannot be reached or has no worker."""
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import ondrel

SMALL = ["-R", "4", "-r", "1"]


def pair(h, w, shift, seed):
    rng = np.random.default_rng(seed)
    scene = rng.integers(0, 256, size=(h, w + shift, 3), dtype=np.uint8)
    return np.ascontiguousarray(scene[:, :w]), np.ascontiguousarray(scene[:, shift:])


def write_scenes(folder, names, h=40, w=64, ndisp=9):
    import cv2
    for seed, name in enumerate(names):
        left, right = pair(h, w, 5, seed)
        os.makedirs(folder / name)
        cv2.imwrite(str(folder / name / "im0.png"), left)
        cv2.imwrite(str(folder / name / "im1.png"), right)
        (folder / name / "calib.txt").write_text(f"width={w}\nheight={h}\nndisp={ndisp}\n")


def batch(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "ondrel.batch", *map(str, args)], capture_output=True, text=True,
                          timeout=300, **kwargs)


def test_method_refine_and_skip_existing_redo_only_what_is_missing(tmp_path):
    scenes, out = tmp_path / "scenes", tmp_path / "out"
    write_scenes(scenes, ["a", "b"])
    args = [scenes, out, "--method", "Mine", "--refine", "--skip-existing", "--workers", "1", *SMALL]
    first = batch(*args)
    assert first.returncode == 0, first.stderr
    for name in ("a", "b"):
        left, right = ondrel.read_image(scenes / name / "im0.png"), ondrel.read_image(scenes / name / "im1.png")
        want = ondrel.match_refined(left, right, 8, support_radius=4, block_radius=1, threads=1).disparity
        assert sorted(os.listdir(out / name)) == ["disp0Mine.pfm", "timeMine.txt"]
        np.testing.assert_array_equal(ondrel.read_pfm(out / name / "disp0Mine.pfm"), want)
    (out / "a" / "timeMine.txt").write_text("7.25\n")  # complete: kept as it is
    os.unlink(out / "b" / "disp0Mine.pfm")
    again = batch(*args)
    assert again.returncode == 0, again.stderr
    assert "1 of 2 scenes are complete already and kept" in again.stderr
    assert (out / "a" / "timeMine.txt").read_text() == "7.25\n"
    assert (out / "b" / "disp0Mine.pfm").exists() and float((out / "b" / "timeMine.txt").read_text()) != 7.25
    # a scene that now fails keeps no map of this method from before; other methods' files stay; two
    # workers write the file of in-process matching, byte for byte
    (scenes / "a" / "calib.txt").write_text("ndisp=9\nndisp=9\n")  # refused by the library's reader
    (out / "a" / "disp0Other.pfm").write_bytes((out / "a" / "disp0Mine.pfm").read_bytes())
    failed = batch(scenes, out, "--method", "Mine", "--workers", "2", *SMALL)
    assert failed.returncode == 1 and "ndisp" in failed.stderr and "1 of 2 scenes failed" in failed.stderr
    assert sorted(os.listdir(out / "a")) == ["disp0Other.pfm"]
    left, right = ondrel.read_image(scenes / "b" / "im0.png"), ondrel.read_image(scenes / "b" / "im1.png")
    ondrel.write_pfm(tmp_path / "here.pfm", ondrel.match(left, right, 8, support_radius=4, block_radius=1).disparity)
    assert (out / "b" / "disp0Mine.pfm").read_bytes() == (tmp_path / "here.pfm").read_bytes()


def test_kitti_layout_with_the_matchers_options_gives_the_devkits_16_bit_maps(tmp_path):
    import cv2
    data, out = tmp_path / "data", tmp_path / "out"
    for sub in ("image_2", "image_3"):
        os.makedirs(data / sub)
    left, right = pair(40, 64, 5, 3)
    cv2.imwrite(str(data / "image_2" / "000000_10.png"), left)
    cv2.imwrite(str(data / "image_3" / "000000_10.png"), right)
    cv2.imwrite(str(data / "image_2" / "000001_10.png"), left)  # without a right view: not a pair
    run = batch("--kitti", data, out, "-d", 8, "--min-disparity", 2, "--cost", "census", "--workers", "1", *SMALL)
    assert run.returncode == 0, run.stderr
    assert os.listdir(out) == ["disp_0"] and os.listdir(out / "disp_0") == ["000000_10.png"]
    d = ondrel.match(left, right, 8, min_disparity=2, cost="census", support_radius=4, block_radius=1).disparity
    want = np.where(np.isnan(d), 0, np.clip(np.round(256.0 * np.nan_to_num(d)), 1, 65535)).astype(np.uint16)
    np.testing.assert_array_equal(cv2.imread(str(out / "disp_0" / "000000_10.png"), cv2.IMREAD_UNCHANGED), want)


@pytest.mark.parametrize("args, message", [
    (["--threads", "100000"], "threads (100000) must lie in 0 ... 1024 (0: every processor) (--threads sets threads)"),
    (["--gamma-color", "0"], "--gamma-color"),
    (["-R", "4", "-r", "2"], "must divide 2*support_radius+1 (9) (-R sets support_radius, -r sets block_radius)"),
    (["--kitti", "-d", "3", "--min-disparity", "5"], "max_disparity (3) must lie in min_disparity (5)"),
    (["--method", "a/b"], "--method"),
    (["--kitti"], "--kitti needs the largest disparity"),
])
def test_bad_options_are_refused_before_any_worker(tmp_path, args, message):
    run = batch(tmp_path, tmp_path / "out", *args)
    assert run.returncode == 2 and message in run.stderr, run.stderr
    assert not (tmp_path / "out").exists()


def test_a_scheduler_without_workers_or_out_of_reach_gives_one_line(tmp_path):
    write_scenes(tmp_path / "scenes", ["a"])
    started = time.monotonic()
    unreachable = batch(tmp_path / "scenes", tmp_path / "out", "--scheduler", "tcp://127.0.0.1:9", "--wait", "3")
    assert time.monotonic() - started < 60
    assert unreachable.returncode == 1
    lines = unreachable.stderr.strip().splitlines()
    assert len(lines) <= 3 and "cannot reach the scheduler at tcp://127.0.0.1:9" in lines[-1], unreachable.stderr
    assert "Traceback" not in unreachable.stderr and not (tmp_path / "out").exists()

    from distributed import LocalCluster
    with LocalCluster(n_workers=0, processes=False, protocol="tcp", host="127.0.0.1", dashboard_address=None) as cluster:
        empty = batch(tmp_path / "scenes", tmp_path / "out", "--scheduler", cluster.scheduler_address, "--wait", "2")
    assert empty.returncode == 1 and "no worker has joined the scheduler" in empty.stderr, empty.stderr
    assert len(empty.stderr.strip().splitlines()) <= 3 and not (tmp_path / "out").exists()


def interrupt_when_written(command, first_file):
    """Runs command in a session of its own and sends the session SIGINT (as Ctrl-C does to a terminal's
    foreground) once first_file exists; the finished process."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    deadline = time.monotonic() + 240
    while not first_file.exists() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    os.killpg(process.pid, signal.SIGINT)
    out, err = process.communicate(timeout=120)
    return process.returncode, err


@pytest.mark.parametrize("runner", ["python", "cli"])
def test_ctrl_c_ends_a_batch_with_one_line_and_skip_existing_goes_on(tmp_path, runner):
    cli = os.environ.get("ONDREL_MATCH")
    if runner == "cli" and not cli:
        pytest.skip("ondrel-match is not built")
    scenes, out = tmp_path / "scenes", tmp_path / "out"
    names = ["s1", "s2", "s3", "s4", "s5"]
    write_scenes(scenes, names, h=600, w=900, ndisp=200)  # about a second each
    base = ([sys.executable, "-m", "ondrel.batch", str(scenes), str(out), "--workers", "1"] if runner == "python"
            else [cli, "--middlebury", str(scenes), str(out), "--threads", "1"])
    status, err = interrupt_when_written(base, out / "s1" / "timeOndrel.txt")
    lines = err.strip().splitlines()
    assert status == 128 + signal.SIGINT, err
    assert "Traceback" not in err and lines[-1].startswith("interrupted: ") and \
        lines[-1].endswith(f" of {len(names)} scenes written; run again with --skip-existing to go on"), err
    written = int(lines[-1].split()[1])
    assert 1 <= written < len(names)
    files = sorted(os.path.join(d, f) for d, _, fs in os.walk(out) for f in fs)
    assert len(files) == 2 * written and not [f for f in files if ".tmp" in f]  # whole scenes only
    first = (out / "s1" / "disp0Ondrel.pfm").stat().st_mtime_ns
    again = subprocess.run(base + ["--skip-existing"], capture_output=True, text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    assert sorted(os.listdir(out)) == names and (out / "s1" / "disp0Ondrel.pfm").stat().st_mtime_ns == first
