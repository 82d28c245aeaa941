"""Match every Middlebury-2014-layout scene of a folder over a Dask cluster.

    python3 -m ondrel.batch SCENES OUT [--scheduler ADDRESS] [--workers N] [--threads T]

Each folder of SCENES that holds im0.png, im1.png and calib.txt becomes OUT/<scene>/disp0Ondrel.pfm
and OUT/<scene>/timeOndrel.txt (the seconds of the matching), the layout the benchmark's tools read.
The maximum disparity is ndisp - 1 from calib.txt. Without --scheduler a local cluster of N worker
processes is started (default: one per processor, one thread each). A scene that fails is reported
and skipped; the exit status is 1 when any failed.
"""
import argparse
import os
import sys


def match_scene(scenes, out, scene, threads=1, parameters=None):
    """Matches one scene and writes its two files; returns (scene, error message or None)."""
    import ondrel
    try:
        folder = os.path.join(scenes, scene)
        ndisp = ondrel.read_calib(os.path.join(folder, "calib.txt")).ndisp
        left = ondrel.read_image(os.path.join(folder, "im0.png"))
        right = ondrel.read_image(os.path.join(folder, "im1.png"))
        if left is None or right is None:
            raise ValueError(f"{folder}: cannot read im0.png or im1.png")
        result = ondrel.match(left, right, ndisp - 1, threads=threads, **(parameters or {}))
        target = os.path.join(out, scene)
        os.makedirs(target, exist_ok=True)
        ondrel.write_pfm(os.path.join(target, "disp0Ondrel.pfm"), result.disparity)
        ondrel._ondrel.write_file_completely(os.path.join(target, "timeOndrel.txt"), b"%.6f\n" % result.seconds)
        return scene, None
    except Exception as e:  # reported per scene, the others go on
        return scene, str(e)


def run(scenes, out, client, threads=1):
    import ondrel
    names = ondrel.find_scenes(scenes)
    if not names:
        print(f"ondrel.batch: no scene (im0.png, im1.png, calib.txt) in {scenes}", file=sys.stderr)
        return 1
    from distributed import as_completed
    futures = {client.submit(match_scene, scenes, out, n, threads, pure=False): n for n in names}
    failed = 0
    for done, future in enumerate(as_completed(futures), 1):
        try:
            scene, error = future.result()
        except Exception as e:  # the task itself was lost (a worker died, the cluster went away)
            scene, error = futures[future], f"{type(e).__name__}: {e}"
        failed += bool(error)
        print(f"ondrel.batch: {done}/{len(names)} {scene}: {error or 'done'}", file=sys.stderr, flush=True)
    if failed:
        print(f"ondrel.batch: {failed} of {len(names)} scenes failed", file=sys.stderr)
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m ondrel.batch", description=__doc__.split("\n\n")[0])
    parser.add_argument("scenes")
    parser.add_argument("out")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=0, help="local worker processes (default: processors)")
    parser.add_argument("--threads", type=int, default=1, help="matcher threads per scene (default 1)")
    a = parser.parse_args(argv)
    if not os.path.isdir(a.scenes):
        print(f"ondrel.batch: {a.scenes}: not a folder", file=sys.stderr)
        return 1
    if a.workers < 0 or a.threads < 0:
        parser.error("--workers and --threads must not be negative")
    os.makedirs(a.out, exist_ok=True)
    from distributed import Client, LocalCluster
    if a.scheduler:
        with Client(a.scheduler) as client:
            return run(a.scenes, a.out, client, a.threads)
    with LocalCluster(n_workers=a.workers or os.cpu_count(), threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
        return run(a.scenes, a.out, client, a.threads)


if __name__ == "__main__":
    sys.exit(main())
