"""Match every scene of a Middlebury-2014-layout folder (or every pair of a KITTI-layout one) over a Dask cluster.

    python3 -m ondrel.batch SCENES OUT [--method NAME] [--refine] [--cost tad|census] [--skip-existing]
                            [matcher options] [--scheduler ADDRESS] [--workers N] [--threads T]
    python3 -m ondrel.batch --kitti DATA OUT -d N [the same options but --method]

Each folder of SCENES that holds im0.png, im1.png and calib.txt becomes OUT/<scene>/disp0<NAME>.pfm
and OUT/<scene>/time<NAME>.txt (the seconds of the matching), the layout the benchmark's tools read;
the largest disparity is ndisp - 1 from calib.txt (read by the library's one reader). With --kitti,
DATA/image_2/<image>.png and DATA/image_3/<image>.png become OUT/disp_0/<image>.png, 16-bit as the
devkit reads it (round(256 d), 0 no value). Without --scheduler a local cluster of N worker processes
is started (default: one per processor, one thread each). A scene that fails is reported and skipped,
and its earlier files of that method are removed; the exit status is 1 when any failed. Ctrl-C ends
the run with one line; the scenes written so far are complete and --skip-existing goes on from there.
"""
import argparse
import logging
import math
import os
import signal
import sys
import time



def _layout_items(a):
    """(name, left, right, calib or None, folder, map, time or None) of every pair of the run."""
    import ondrel
    items = []
    if a.kitti:
        folder = os.path.join(a.out, "disp_0")
        for n in ondrel.find_kitti_pairs(a.scenes):
            f = n + ".png"
            items.append((n, os.path.join(a.scenes, "image_2", f), os.path.join(a.scenes, "image_3", f), None,
                          folder, os.path.join(folder, f), None))
        return items
    for s in ondrel.find_scenes(a.scenes):
        folder = os.path.join(a.out, s)
        items.append((s, os.path.join(a.scenes, s, "im0.png"), os.path.join(a.scenes, s, "im1.png"),
                      os.path.join(a.scenes, s, "calib.txt"), folder,
                      os.path.join(folder, f"disp0{a.method}.pfm"), os.path.join(folder, f"time{a.method}.txt")))
    return items


def complete(map_path, time_path):
    """Whether a scene's files are complete: the map reads back whole and the time file holds a time.
    (Files are written completely or not at all; this only finds a damaged or foreign one.)"""
    import ondrel
    try:
        if map_path.endswith(".pfm"):
            ondrel.read_pfm(map_path)
        else:
            import cv2
            image = cv2.imread(map_path, cv2.IMREAD_UNCHANGED)
            if image is None or image.dtype.name != "uint16" or image.ndim != 2:
                return False
        if time_path is not None:
            with open(time_path) as f:
                seconds = float(f.read())
            return math.isfinite(seconds) and seconds >= 0
        return True
    except (OSError, ValueError):
        return False


def match_scene(item, max_disparity, refine, parameters, threads):
    """Matches one pair and writes its files; returns (name, error message or None). On failure the
    scene's earlier files of this method are removed, so that none is taken for this run's."""
    import ondrel
    name, left_path, right_path, calib, folder, map_path, time_path = item
    try:
        if calib is not None:
            max_disparity = ondrel.read_calib(calib).ndisp - 1
        left, right = ondrel.read_image(left_path), ondrel.read_image(right_path)
        if left is None or right is None:
            raise ValueError(f"{left_path if left is None else right_path}: not an image file this program can read")
        match = ondrel.match_refined if refine else ondrel.match
        result = match(left, right, max_disparity, threads=threads, **parameters)
        os.makedirs(folder, exist_ok=True)
        ondrel._ondrel.write_disparity_file(map_path, result.disparity)
        if time_path is not None:
            ondrel._ondrel.write_file_completely(time_path, b"%.6f\n" % result.seconds)
        return name, None
    except Exception as e:  # reported per scene, the others go on
        _remove(item)
        return name, str(e) or type(e).__name__


def _remove(item):
    """Removes the map and time file of a scene (those of this run's method), where they are."""
    for path in (item[5], item[6]):
        if path is not None and os.path.lexists(path):
            os.unlink(path)


class _Progress:
    """A bar of the scenes done and the time left (tqdm) on a terminal, else one line per scene."""

    def __init__(self, total, quiet):
        self.bar = None
        if not quiet and sys.stderr.isatty():
            try:
                from tqdm import tqdm
                self.bar = tqdm(total=total, unit="scene", file=sys.stderr, dynamic_ncols=True)
            except ImportError:
                pass
        self.quiet, self.total, self.done = quiet, total, 0

    def scene(self, name, error):
        self.done += 1
        line = f"ondrel.batch: {self.done}/{self.total} {name}: {error or 'done'}"
        if self.bar is not None:
            if error:
                self.bar.write(line, file=sys.stderr)
            self.bar.update(1)
        elif error or not self.quiet:
            print(line, file=sys.stderr, flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _parameters(a):
    """The matcher's keyword arguments the command line gives."""
    return {k: v for k, v in (("support_radius", a.support_radius), ("block_radius", a.block_radius),
                              ("gamma_space", a.gamma_space), ("gamma_color", a.gamma_color),
                              ("tad_threshold", a.tad), ("cost", a.cost),
                              ("min_disparity", a.min_disparity)) if v is not None}


def run(a, client, todo, counts):
    """Submits the scenes of todo and follows them; counts["written"] grows with each one written.
    Returns the number of failed scenes. Ends with SystemExit (status 1) when no worker has been
    there for a.wait seconds."""
    from distributed import wait
    parameters = _parameters(a)
    futures = {client.submit(match_scene, item, a.max_disparity, a.refine, parameters, a.threads, pure=False): item
               for item in todo}
    progress = _Progress(len(todo), a.quiet)
    failed, pending, workerless = 0, set(futures), None
    try:
        while pending:
            try:
                done, pending = wait(pending, timeout=1, return_when="FIRST_COMPLETED")
            except TimeoutError:
                done = set()
            for future in done:
                try:
                    name, error = future.result()
                except Exception as e:  # the task itself was lost (a worker died again and again)
                    item = futures[future]
                    name, error = item[0], f"{type(e).__name__}: {e}"
                    _remove(item)
                failed += bool(error)
                counts["written"] += not error
                progress.scene(name, error)
            if not pending:
                break
            if client.scheduler_info().get("workers"):
                workerless = None
            elif workerless is None:
                workerless = time.monotonic()
            elif time.monotonic() - workerless > a.wait:
                progress.close()
                _fail(f"every worker has left the scheduler for {a.wait:g} s; {counts['written'] + counts['kept']} "
                      f"of {counts['total']} scenes written; run again with --skip-existing to go on")
    finally:
        progress.close()
    return failed


def _fail(message):
    print(f"ondrel.batch: {message}", file=sys.stderr, flush=True)
    raise SystemExit(1)


def _positive_float(text):
    v = float(text)
    if not (math.isfinite(v) and v > 0):
        raise ValueError(text)
    return v


def _parser():
    from ondrel import _ondrel
    p = argparse.ArgumentParser(prog="python3 -m ondrel.batch", description=__doc__.split("\n\n")[0])
    p.add_argument("scenes", help="the scenes (Middlebury layout) or DATA with image_2 and image_3 (--kitti)")
    p.add_argument("out")
    p.add_argument("--kitti", action="store_true", help="KITTI layout: DATA/image_2, image_3 -> OUT/disp_0")
    p.add_argument("-d", "--max-disparity", type=int, help="the largest disparity (--kitti; else from calib.txt)")
    p.add_argument("--method", default="Ondrel", help="the NAME of disp0NAME.pfm and timeNAME.txt (default Ondrel)")
    p.add_argument("--skip-existing", action="store_true", help="keep the scenes whose files are complete")
    p.add_argument("--refine", action="store_true", help="the refined map (match_refined)")
    p.add_argument("--cost", choices=("tad", "census"))
    p.add_argument("--min-disparity", type=int)
    p.add_argument("-R", "--support-radius", type=int)
    p.add_argument("-r", "--block-radius", type=int)
    p.add_argument("--gamma-space", type=_positive_float, help="finite, > 0")
    p.add_argument("--gamma-color", type=_positive_float, help="finite, > 0")
    p.add_argument("--tad", type=int)
    p.add_argument("--threads", type=int, default=1, help=f"matcher threads per scene, 0 .. {_ondrel.MAX_THREADS} "
                                                          "(0: every processor; default 1)")
    p.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    p.add_argument("--workers", type=int, default=0, help="local worker processes (default: processors)")
    p.add_argument("--wait", type=_positive_float, default=30.0,
                   help="seconds to wait for the scheduler and for a worker (default 30)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress, only failures and the summary")
    return p


def _check(p, a):
    if a.workers < 0:
        p.error("--workers must not be negative")
    if a.kitti and a.max_disparity is None:
        p.error("--kitti needs the largest disparity: -d N")
    if not a.kitti and a.max_disparity is not None:
        p.error("-d is taken with --kitti only (each scene's calib.txt gives it)")
    if a.kitti and a.method != "Ondrel":
        p.error("--method is not taken with --kitti (the maps go to OUT/disp_0)")
    if not (0 < len(a.method) <= 64 and all(c.isascii() and (c.isalnum() or c in "_-") for c in a.method)):
        p.error(f"--method {a.method!r}: must be a name of 1 to 64 letters, digits, '_' or '-'")
    if a.max_disparity is None:
        a.max_disparity = 0  # from calib.txt
    # the library's parameter rules, before any worker (each scene's largest disparity comes from its calib.txt)
    from ondrel import _ondrel
    options = {"max_disparity": "-d", "min_disparity": "--min-disparity", "support_radius": "-R",
               "block_radius": "-r", "gamma_space": "--gamma-space", "gamma_color": "--gamma-color",
               "tad_threshold": "--tad", "threads": "--threads"}
    given = _ondrel.Parameters()
    try:
        for name, value in _parameters(a).items():
            setattr(given, name, value if name != "cost" else getattr(_ondrel.Cost, value))
    except TypeError:  # beyond an int
        p.error("the matcher's numbers must be integers in -2147483648 ... 2147483647")
    given.max_disparity = a.max_disparity if a.kitti else given.min_disparity
    try:
        message = _ondrel.check(given, a.threads)
    except TypeError:
        p.error("--threads must be an integer in -2147483648 ... 2147483647")
    if message:
        named = ", ".join(f"{option} sets {name}" for name, option in options.items() if name in message)
        p.error(f"{message} ({named})" if named else message)


def _quiet_logs():
    """The cluster's own log lines (connection retries, a closing worker's complaints) kept off standard
    error: the runner says what went wrong in one line. After distributed's import, which sets its
    loggers' levels."""
    import logging
    import distributed  # noqa: F401
    for name in ["distributed", "tornado", "asyncio", *logging.root.manager.loggerDict]:
        if name.split(".")[0] in ("distributed", "tornado", "asyncio"):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)


def dask_setup(worker):
    """Run in each local worker process before it joins (this module is the workers' preload). Ctrl-C and
    the messages are the runner's alone: the worker ignores SIGINT (one that its nanny restarted did not
    inherit that) and its standard error goes nowhere, since distributed logs errors with tracebacks
    when a closing client or scheduler drops a connection. A scene's failure comes back as its result,
    a lost worker as its task's error, both reported by the runner."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)


def _connect(a):
    """A Client of the scheduler at a.scheduler or of a local cluster; (client, cluster or None)."""
    from distributed import Client, LocalCluster
    if a.scheduler:
        try:
            client = Client(a.scheduler, timeout=f"{a.wait}s")
        except (OSError, TimeoutError, ValueError) as e:
            _fail(f"cannot reach the scheduler at {a.scheduler} within {a.wait:g} s ({type(e).__name__})")
        try:
            client.wait_for_workers(1, timeout=a.wait)
        except TimeoutError:
            client.close()
            _fail(f"no worker has joined the scheduler at {a.scheduler} within {a.wait:g} s")
        return client, None
    # the workers leave Ctrl-C to this process (they inherit SIGINT ignored): one line, no tracebacks;
    # and they log nothing from their start (distributed reads its loggers' level from the environment
    # when imported) until dask_setup closes their standard error
    os.environ["DASK_DISTRIBUTED__LOGGING__DISTRIBUTED"] = str(logging.CRITICAL + 1)
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        # no dashboard, and the scheduler's HTTP routes on a free port: the default one may be another
        # cluster's, which distributed warns about on standard error
        cluster = LocalCluster(n_workers=a.workers or os.cpu_count(), threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None,
                               scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}, preload=["ondrel.batch"])
        client = Client(cluster)
    finally:
        signal.signal(signal.SIGINT, previous)
    return client, cluster


def main(argv=None):
    p = _parser()
    a = p.parse_args(argv)
    _check(p, a)
    source = os.path.join(a.scenes, "image_2") if a.kitti else a.scenes
    if not os.path.isdir(source):
        print(f"ondrel.batch: {source}: not a folder", file=sys.stderr)
        return 1
    try:
        items = _layout_items(a)
    except (OSError, ValueError) as e:
        print(f"ondrel.batch: {e}", file=sys.stderr)
        return 1
    if not items:
        what = "pair (image_2/<image>.png with image_3/<image>.png)" if a.kitti else "scene (im0.png, im1.png, calib.txt)"
        print(f"ondrel.batch: no {what} in {a.scenes}", file=sys.stderr)
        return 1
    todo = [i for i in items if not (a.skip_existing and complete(i[5], i[6]))]
    counts = {"total": len(items), "kept": len(items) - len(todo), "written": 0}
    if counts["kept"] and not a.quiet:
        print(f"ondrel.batch: {counts['kept']} of {len(items)} scenes are complete already and kept", file=sys.stderr)
    if not todo:
        return 0
    _quiet_logs()
    client = cluster = None
    try:
        client, cluster = _connect(a)
        os.makedirs(a.out, exist_ok=True)  # only once there is somebody to match
        failed = run(a, client, todo, counts)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C does not break the closing
        _close(client, cluster)
        # what the workers wrote, counted once they are gone; a scene cut between its two files
        # loses the one written
        written = 0
        for item in items:
            if complete(item[5], item[6]):
                written += 1
            elif item in todo:
                _remove(item)
        print(f"interrupted: {written} of {counts['total']} scenes written; run again with --skip-existing to go on",
              file=sys.stderr, flush=True)
        return 128 + signal.SIGINT
    except BaseException:
        _close(client, cluster)
        raise
    _close(client, cluster)
    if failed:
        print(f"ondrel.batch: {failed} of {len(items)} scenes failed", file=sys.stderr)
    return 1 if failed else 0


def _close(client, cluster):
    """Closes the client and the local cluster, and waits until the local workers have ended (a worker
    inside a match finishes that scene first; after 60 s it is killed), so that no file appears later."""
    pids = []
    try:
        pids = [n.process.process.pid for n in cluster.workers.values()] if cluster is not None else []
    except AttributeError:  # a worker that has not started
        pass
    for c in (client, cluster):
        if c is not None:
            try:
                c.close()
            except Exception:  # closing a cluster that is going away: nothing more to say
                pass
    deadline = time.monotonic() + 60
    for pid in pids:
        while pid is not None:
            try:
                if os.waitpid(pid, os.WNOHANG)[0] == pid:
                    break
            except ChildProcessError:  # already waited for, by the cluster
                try:
                    os.kill(pid, 0)
                except ProcessLookupError:
                    break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
            time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main())
