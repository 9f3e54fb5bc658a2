#!/usr/bin/python3
"""The batch layer's scaling and overhead, on a cluster started here (a
scheduler and N single-threaded workers on 127.0.0.1), timed apart from the
cluster's start:

    bench/batch.py [--build DIR] [--cache DIR] [--runs N]

1. tag on 24 FLAC files of 60 s: one worker against two, and one worker
   against the command-line tool's `tag -j 1` on the same files;
2. per-file overhead on 1,000 tiny files with one worker: the wall time less
   the jobs' own seconds (as the catalog records them), per file; and the
   catalog's write rate for a million rows.

Each batch run gets a fresh catalog, so that no work is skipped.
"""
import argparse
import os
import pathlib
import sqlite3
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
PY = "/usr/bin/python3"


def sox(path, *args):
    if not path.exists():
        tmp = path.with_name(path.stem + ".tmp" + path.suffix)
        subprocess.run(["sox", "-R", "-n", "-r", "44100", "-b", "16", "-c", "2", str(tmp), "synth", *args],
                       check=True)
        os.replace(tmp, path)


class Cluster:
    """A scheduler and `workers` worker processes, stopped by process id."""

    def __init__(self, workers, folder, env):
        self.file = folder / f"scheduler-{workers}.json"
        self.file.unlink(missing_ok=True)
        self.env = env
        self.procs = [subprocess.Popen([PY, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                        "--port", "0", "--no-dashboard", "--scheduler-file", str(self.file)],
                                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        while not (self.file.exists() and self.file.stat().st_size > 0):
            time.sleep(0.1)
        for _ in range(workers):
            self.procs.append(subprocess.Popen(
                [PY, "-m", "distributed.cli.dask_worker", "--scheduler-file", str(self.file), "--nthreads", "1",
                 "--nworkers", "1", "--host", "127.0.0.1", "--no-dashboard"],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        import distributed
        with distributed.Client(scheduler_file=str(self.file), timeout="30s") as c:
            c.wait_for_workers(workers, timeout=120)

    def close(self):
        for p in reversed(self.procs):
            p.terminate()
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()


def timed(cmd, env):
    t = time.perf_counter()
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t


def batch(cluster, folder, catalog, env):
    """(wall seconds, seconds per file once running): the second from the
    catalog's times of completion, which leave out the client's start (its
    imports and connection, about a second) and the first file."""
    catalog.unlink(missing_ok=True)
    wall = timed([PY, "-m", "tonewright", "batch", "tag", "-q", "--scheduler-file", str(cluster.file),
                  "--catalog", str(catalog), str(folder)], env)
    with sqlite3.connect(catalog) as db:
        first, last, n = db.execute("SELECT MIN(finished), MAX(finished), COUNT(*) FROM results").fetchone()
    return wall, (last - first) / max(1, n - 1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.environ.get("TONEWRIGHT_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--cache", default="/tmp/tonewright-bench/batch")
    ap.add_argument("--runs", type=int, default=2)
    args = ap.parse_args()
    build, cache = pathlib.Path(args.build), pathlib.Path(args.cache)
    env = dict(os.environ, PYTHONPATH=str(build / "python"))
    cli = str(build / "apps" / "tonewright")
    long_dir, tiny_dir = cache / "long", cache / "tiny"
    long_dir.mkdir(parents=True, exist_ok=True)
    tiny_dir.mkdir(parents=True, exist_ok=True)
    for i in range(24):
        wav = long_dir / f"{i:02d}.wav"
        flac = long_dir / f"{i:02d}.flac"
        if not flac.exists():
            sox(wav, "60", "sine", str(110 + 20 * i), "pinknoise", "vol", "0.3")
            subprocess.run(["sox", str(wav), str(flac)], check=True)
            wav.unlink()
    for i in range(1000):
        sox(tiny_dir / f"{i:04d}.wav", "0.5", "sine", str(200 + i), "vol", "0.3")
    longs = sorted(str(p) for p in long_dir.glob("*.flac"))
    work = pathlib.Path(tempfile.mkdtemp(prefix="tw-batch-bench-"))
    catalog = work / "catalog.sqlite"

    serial = min(timed([cli, "tag", "-q", "-j", "1", *longs], env) for _ in range(args.runs))
    rows, per_file = {}, None
    for workers in (1, 2):
        cluster = Cluster(workers, work, env)
        try:
            rows[workers] = min(batch(cluster, long_dir, catalog, env) for _ in range(args.runs))
            if workers == 1:
                wall = min(batch(cluster, tiny_dir, catalog, env)[0] for _ in range(args.runs))
                with sqlite3.connect(catalog) as db:
                    jobs = db.execute("SELECT SUM(seconds), COUNT(*) FROM results WHERE ok").fetchone()
                per_file = (wall - jobs[0]) / jobs[1], wall, jobs[0], jobs[1]
        finally:
            cluster.close()
    (w1, f1), (w2, f2) = rows[1], rows[2]
    print(f"tag, 24 x 60 s FLAC:   tonewright tag -j 1 {serial:6.2f} s ({serial / 24:.3f} s a file)")
    print(f"  batch, 1 worker:     {w1:6.2f} s wall ({w1 / serial:.2f} x the tool; goal <= 1.10), "
          f"{f1:.3f} s a file once running ({f1 * 24 / serial:.2f} x)")
    print(f"  batch, 2 workers:    {w2:6.2f} s wall (speed-up {w1 / w2:.2f}; goal >= 1.8), "
          f"{f2:.3f} s a file once running (speed-up {f1 / f2:.2f})")
    print(f"  one worker's rate:   {60 / f1:.0f} x real time")
    over, wall, jobs_s, n = per_file
    print(f"1000 tiny files, 1 worker: {wall:.2f} s wall, {jobs_s:.2f} s in the jobs: "
          f"{over * 1000:.1f} ms per file of batch overhead (goal < 20)")
    # The catalog: a million rows written in batches, as the run writes them.
    sys.path.insert(0, str(build / "python"))
    from tonewright import catalog as catalog_mod
    big = work / "million.sqlite"
    t = time.perf_counter()
    with catalog_mod.Catalog(str(big)) as cat:
        for i in range(1_000_000):
            cat.record({"path": f"/music/{i}.flac", "job": "tag", "settings_id": "s", "settings": "{}",
                        "size": i, "mtime_ns": i, "fingerprint": "f", "report": "{}", "error": None,
                        "worker": "w", "seconds": 0.1, "finished": 0.0, "ok": 1})
        cat.flush()
    print(f"catalog: 1,000,000 rows in {time.perf_counter() - t:.1f} s")


if __name__ == "__main__":
    main()
