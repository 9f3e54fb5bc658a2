"""Batch jobs over a Dask cluster, with a catalog that resumes.

    python3 -m tonewright batch JOB [options] PATHS...

JOB is info, analyse, tag, level, correct or split, with the options of the
command-line tool's job. PATHS are files or folders, walked recursively
(recognised formats only; a folder reached twice through links is walked
once). `tag --album` takes each folder as one album: one task per folder.

By default the work runs on this machine: a local cluster of one
single-threaded worker process per core. `--scheduler tcp://host:8786` or
`--scheduler-file F` uses an existing cluster of any size; its workers read
the files where they are, so every path must be visible to every worker under
the same name (a shared file system). A path a worker cannot read becomes an
error row that says so.

Each finished file is recorded in the catalog (catalog.py). A rerun skips
what is done for the same file content and settings, redoes what changed, and
takes the failures again with --retry-failed.

Faults: a worker that dies mid-file has its task run again elsewhere; a file
that kills or hangs (no progress for --timeout seconds) its worker twice is
recorded as failed with the reason; a bad file is an error row. The batch goes
on in every case.

Exit code: 0 when every file succeeded (or was done already), 2 otherwise,
1 for a wrong command line, 130 after Ctrl-C.
"""
import argparse
import dataclasses
import hashlib
import json
import os
import sys
import threading
import time

from . import catalog as catalog_mod

EXTENSIONS = (".wav", ".flac", ".ogg", ".mp3")
JOBS = ("info", "analyse", "tag", "level", "correct", "split")
# A worker's task is run again after its worker died; after the second death
# on the same task the scheduler gives it up (KilledWorker).
ALLOWED_FAILURES = 1
# Tasks handed to the scheduler ahead of the workers; the rest wait in the client.
IN_FLIGHT = 1000


# ---------------------------------------------------------------- options
def _parser():
    p = argparse.ArgumentParser(prog="python3 -m tonewright batch",
                                description="Run a job over many recordings on a Dask cluster, recording every "
                                            "result in a catalog that later runs resume from.")
    p.add_argument("job", choices=JOBS, help="the job, as the command-line tool's")
    p.add_argument("paths", nargs="+", help="files, or folders walked recursively")
    where = p.add_argument_group("where it runs")
    where.add_argument("--scheduler", help="address of an existing scheduler, tcp://host:8786")
    where.add_argument("--scheduler-file", help="scheduler file of an existing cluster")
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="worker processes of the local cluster (default: one per core)")
    where.add_argument("--timeout", type=float, default=600.0,
                       help="seconds without progress after which a file counts as hanging its worker (default 600)")
    cat = p.add_argument_group("catalog")
    cat.add_argument("--catalog", default=catalog_mod.default_path(), help="SQLite catalog (default: %(default)s)")
    cat.add_argument("--retry-failed", action="store_true", help="take the files that failed before again")
    out = p.add_argument_group("output")
    out.add_argument("--json", action="store_true", help="one JSON object per file on stdout (the job's --json)")
    out.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    job = p.add_argument_group("the job's options (as the command-line tool's)")
    job.add_argument("-o", "--output", help="level, correct, split: output folder (default: beside each input)")
    job.add_argument("-f", "--format", choices=("wav", "flac", "ogg", "mp3"), help="output format")
    job.add_argument("-y", "--overwrite", action="store_true", help="replace existing outputs")
    job.add_argument("--album", action="store_true", help="tag: album gain per folder; level: one gain per folder")
    job.add_argument("--threshold", type=float, help="noise threshold, dB")
    job.add_argument("--no-save", action="store_true", help="analyse: no statistics file beside the input")
    job.add_argument("--reanalyse", action="store_true", help="level, correct: ignore saved statistics")
    job.add_argument("-t", "--target", help="level: -14LUFS (integrated) or dB RMS per region")
    job.add_argument("--true-peak", type=float, help="level, correct, eq: ceiling in dBTP")
    job.add_argument("--max-gain", type=float, help="level: largest gain of a region, dB")
    job.add_argument("--bitrate", type=int, help="MP3 outputs, kbit/s")
    job.add_argument("--no-dither", action="store_true", help="round 16-bit outputs plainly")
    job.add_argument("-r", "--reference", help="correct: reference curve")
    job.add_argument("--max-correction", type=float, help="correct: largest change of a band, dB")
    job.add_argument("--min-silence", type=float, help="split: shortest gap, s")
    job.add_argument("--cut-at", type=float, help="split: where in the gap to cut, 0..1")
    job.add_argument("--keep", help="split: seconds of silence kept before,after each piece")
    job.add_argument("--min-length", type=float, help="split: shortest piece, s")
    job.add_argument("--merge-short", action="store_true", help="split: merge short pieces")
    job.add_argument("--name", help="split: name template of the pieces")
    job.add_argument("--cue", action="store_true", help="split: write a CUE sheet")
    job.add_argument("--m3u", action="store_true", help="split: write a playlist")
    job.add_argument("-n", "--dry-run", action="store_true", help="split: plan only")
    return p


# Options of each job: the settings a row is keyed by. Options a job does not
# take are refused, as the command-line tool refuses them.
JOB_OPTIONS = {
    "info": (),
    "analyse": ("threshold", "no_save"),
    "tag": ("album",),
    "level": ("output", "format", "overwrite", "album", "threshold", "reanalyse", "target", "true_peak", "max_gain",
              "bitrate", "no_dither"),
    "correct": ("output", "format", "overwrite", "threshold", "reanalyse", "reference", "max_correction",
                "true_peak", "bitrate", "no_dither"),
    "split": ("output", "format", "overwrite", "threshold", "min_silence", "cut_at", "keep", "min_length",
              "merge_short", "name", "cue", "m3u", "dry_run", "bitrate"),
}


def job_settings(args, parser):
    """The settings of the job from the parsed options: only those given."""
    allowed = set(JOB_OPTIONS[args.job])
    settings = {}
    for action in parser._actions:
        key = action.dest
        if key in ("job", "paths", "help", "scheduler", "scheduler_file", "workers", "timeout", "catalog",
                   "retry_failed", "json", "quiet"):
            continue
        value = getattr(args, key, None)
        if value is None or value is False:
            continue
        if key not in allowed:
            parser.error(f"{args.job} takes no --{key.replace('_', '-')}")
        settings[key] = value
    if args.output:
        settings["output"] = os.path.abspath(args.output)
    return settings


# ---------------------------------------------------------------- inputs
def walk(paths):
    """Recognised recordings under `paths`, absolute, each once, in a stable
    order. Folders are followed through links, but a folder already walked
    (by device and inode) is not walked again: link loops end."""
    seen_dirs, seen_files, files, missing = set(), set(), [], []
    for root in paths:
        if os.path.isfile(root):
            st = os.stat(root)
            if (st.st_dev, st.st_ino) not in seen_files:
                seen_files.add((st.st_dev, st.st_ino))
                files.append(os.path.abspath(root))
            continue
        if not os.path.isdir(root):
            missing.append(root)
            continue
        for folder, dirs, names in os.walk(root, followlinks=True):
            st = os.stat(folder)
            if (st.st_dev, st.st_ino) in seen_dirs:
                dirs[:] = []
                continue
            seen_dirs.add((st.st_dev, st.st_ino))
            dirs.sort()
            for name in sorted(names):
                if not name.lower().endswith(EXTENSIONS) or name.startswith(".tonewright-partial-"):
                    continue
                full = os.path.join(folder, name)
                try:
                    fst = os.stat(full)
                except OSError:
                    continue  # a dangling link
                if (fst.st_dev, fst.st_ino) in seen_files:
                    continue
                seen_files.add((fst.st_dev, fst.st_ino))
                files.append(os.path.abspath(full))
    return files, missing


def units_of(job, settings, files):
    """The tasks: one file each, or one folder each for an album job."""
    if settings.get("album"):
        folders = {}
        for f in files:
            folders.setdefault(os.path.dirname(f), []).append(f)
        return [sorted(v) for _, v in sorted(folders.items())]
    return [[f] for f in files]


# ---------------------------------------------------------------- the worker's side
class _Watchdog:
    """Ends this worker process when the job makes no progress for `timeout`
    seconds: its nanny starts a new one, and the scheduler runs the task again
    elsewhere, or gives it up after the second time."""

    def __init__(self, timeout):
        self.timeout, self.last, self.done = timeout, time.monotonic(), threading.Event()
        if timeout and timeout > 0:
            threading.Thread(target=self._watch, daemon=True).start()

    def tick(self, *_):
        self.last = time.monotonic()
        return True

    def _watch(self):
        while not self.done.wait(min(1.0, self.timeout / 4)):
            if time.monotonic() - self.last > self.timeout:
                sys.stderr.write(f"tonewright: no progress for {self.timeout:g} s: ending this worker\n")
                sys.stderr.flush()
                os._exit(70)

    def stop(self):
        self.done.set()


def _file_state(path):
    st = os.stat(path)
    return st.st_size, st.st_mtime_ns


def run_unit(job, files, settings, known, timeout):
    """Runs on a worker: the job on one unit (one file, or an album's files).
    `known` maps a file to the fingerprint of its last successful row: a file
    whose audio is unchanged is not processed again. Returns one row per file."""
    import tonewright as tw
    from distributed import get_worker
    try:
        worker = get_worker().address
    except ValueError:
        worker = "local"
    rows = []
    dog = _Watchdog(timeout)
    try:
        fingerprints = {}
        for f in files:
            if not os.access(f, os.R_OK):
                reason = "no such file" if not os.path.exists(f) else "permission denied"
                return [_error_row(job, g, settings, f"the worker {worker} cannot read {f}: {reason}", worker)
                        for g in files]
            try:
                fingerprints[f] = tw.fingerprint(f)
            except (OSError, ValueError) as e:
                fingerprints[f] = None
                if len(files) == 1:
                    return [_error_row(job, f, settings, str(e), worker)]
        if known and all(known.get(f) and known.get(f) == fingerprints[f] for f in files):
            return [dict(_base_row(job, f, settings, worker), unchanged=True, fingerprint=fingerprints[f])
                    for f in files]
        start = time.monotonic()
        try:
            reports = _call(tw, job, files, settings, dog.tick)
        except KeyboardInterrupt:
            raise
        except Exception as e:  # the job's error: a row, never a stopped batch
            return [_error_row(job, f, settings, str(e), worker, fingerprints.get(f)) for f in files]
        seconds = (time.monotonic() - start) / len(files)
        for f, report in zip(files, reports):
            row = _base_row(job, f, settings, worker)
            row.update(ok=True, report=json.dumps(report), seconds=seconds, fingerprint=fingerprints.get(f))
            rows.append(row)
        return rows
    finally:
        dog.stop()


def _base_row(job, path, settings, worker):
    row = {"path": path, "job": job, "settings": catalog_mod.canonical(settings), "worker": worker}
    try:
        row["size"], row["mtime_ns"] = _file_state(path)
    except OSError:
        pass
    return row


def _error_row(job, path, settings, error, worker, fingerprint=None):
    return dict(_base_row(job, path, settings, worker), ok=False, error=error, fingerprint=fingerprint)


def _as_dict(report):
    if dataclasses.is_dataclass(report):
        return report.to_dict() if hasattr(report, "to_dict") else dataclasses.asdict(report)
    return report


def _output_for(path, settings, suffix):
    """The command-line tool's naming: '<name><suffix>.<ext>' beside the input
    or in the -o folder; the extension of -f or the input's."""
    base, ext = os.path.splitext(os.path.basename(path))
    ext = "." + settings["format"] if settings.get("format") else ext.lower()
    folder = settings.get("output") or os.path.dirname(path)
    return os.path.join(folder, base + suffix + ext)


def _call(tw, job, files, s, progress):
    """The library's job on `files` with the command-line options `s`; the
    reports as the command-line tool's JSON objects, one per file."""
    common = {"progress": progress}
    if "overwrite" in s:
        common["overwrite"] = s["overwrite"]
    if job == "info":
        return [_as_dict(tw.info(files[0], **common))]
    if job == "analyse":
        kw = dict(common, save=not s.get("no_save", False))
        if "threshold" in s:
            kw["threshold"] = s["threshold"]
        return [_as_dict(tw.analyse(files[0], **kw))]
    if job == "tag":
        common.pop("overwrite", None)  # tags are written in place
        return [_as_dict(r) for r in tw.tag_replaygain(files, album=bool(s.get("album")), **common)]
    names = {"threshold": "threshold", "reanalyse": "reanalyse", "true_peak": "true_peak", "bitrate": "bitrate"}
    kw = dict(common, **{names[k]: s[k] for k in names if k in s})
    if s.get("no_dither"):
        kw["dither"] = False
    if job == "level":
        for k in ("target", "max_gain"):
            if k in s:
                kw[k] = s[k]
        if s.get("album"):
            out = tw.level_album(files, [_output_for(f, s, "-levelled") for f in files], **kw)
            return [_as_dict(r) for r in out]
        return [_as_dict(tw.level(files[0], _output_for(files[0], s, "-levelled"), **kw))]
    if job == "correct":
        for k in ("reference", "max_correction"):
            if k in s:
                kw[k] = s[k]
        return [_as_dict(tw.correct(files[0], _output_for(files[0], s, "-corrected"), **kw))]
    if job == "split":
        for k in ("min_silence", "cut_at", "keep", "min_length", "merge_short", "name", "cue", "m3u", "dry_run"):
            if k in s:
                kw[k] = s[k]
        folder = s.get("output") or os.path.dirname(files[0])
        return [_as_dict(tw.split(files[0], folder + os.sep, format=s.get("format"), **kw))]
    raise ValueError(f"unknown job {job}")


# ---------------------------------------------------------------- the client's side
class _Board:
    """Progress on stderr (a terminal only): files done/total, failures, rate
    and time left; a summary at the end."""

    def __init__(self, total, quiet):
        self.total, self.done, self.failed, self.skipped = total, 0, 0, 0
        self.start = time.monotonic()
        self.live = not quiet and sys.stderr.isatty()
        self.last = 0.0

    def update(self, force=False):
        if not self.live:
            return
        now = time.monotonic()
        if not force and now - self.last < 0.2:
            return
        self.last = now
        elapsed = now - self.start
        work = self.done - self.skipped
        rate = work / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else float("nan")
        eta = f"{left // 60:.0f}:{left % 60:02.0f} left" if left == left else "--:-- left"
        sys.stderr.write(f"\r{self.done}/{self.total} files, {self.failed} failed, {rate:.1f} files/s, {eta}   ")
        sys.stderr.flush()

    def finish(self):
        if self.live:
            sys.stderr.write("\r" + " " * 70 + "\r")
        elapsed = time.monotonic() - self.start
        sys.stderr.write(f"tonewright batch: {self.done} of {self.total} files, {self.skipped} done before, "
                         f"{self.failed} failed, {elapsed:.1f} s\n")


def _client(args):
    from distributed import Client, LocalCluster
    import dask
    if args.scheduler or args.scheduler_file:
        kw = {"scheduler_file": args.scheduler_file} if args.scheduler_file else {"address": args.scheduler}
        return Client(timeout="30s", **kw), None
    dask.config.set({"distributed.scheduler.allowed-failures": ALLOWED_FAILURES,
                     "distributed.worker.daemon": False})
    cluster = LocalCluster(n_workers=max(1, args.workers), threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=40)
    return Client(cluster), cluster


def run(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    settings = job_settings(args, parser)
    files, missing = walk(args.paths)
    for m in missing:
        print(f"tonewright: {m}: no such file or folder", file=sys.stderr)
    units = units_of(args.job, settings, files)
    canonical = catalog_mod.canonical(settings)
    sid = catalog_mod.settings_id(settings)
    exit_code = 2 if missing else 0
    with catalog_mod.Catalog(args.catalog) as cat:
        todo, known_of = [], []
        board = _Board(len(files), args.quiet)
        for unit in units:
            known, skip = {}, True
            for f in unit:
                row = cat.lookup(f, args.job, sid)
                state = _file_state(f)
                if row and row["ok"]:
                    known[f] = row["fingerprint"]
                if not row or (not row["ok"] and args.retry_failed) or (row["size"], row["mtime_ns"]) != state:
                    skip = False
            if skip:
                board.done += len(unit)
                board.skipped += len(unit)
                failed = [f for f in unit if not cat.lookup(f, args.job, sid)["ok"]]
                board.failed += len(failed)
                exit_code = 2 if failed else exit_code
                continue
            todo.append(unit)
            known_of.append(known)
        if not todo:
            board.finish()
            return exit_code
        from distributed import as_completed
        client, cluster = _client(args)
        try:
            futures = {}
            waiting = iter(zip(todo, known_of))
            running = as_completed()

            def submit_next():
                # At most IN_FLIGHT tasks live on the scheduler at once, so that
                # a million files cost the scheduler no more than a thousand.
                for unit, known in waiting:
                    digest = hashlib.sha1("\0".join(unit).encode()).hexdigest()[:16]
                    fut = client.submit(run_unit, args.job, unit, settings, known, args.timeout, pure=False,
                                        key=f"{args.job}-{os.path.basename(unit[0])}-{digest}")
                    futures[fut] = unit
                    running.add(fut)
                    return

            for _ in range(IN_FLIGHT):
                submit_next()
            board.update(force=True)
            for fut in running:
                submit_next()
                unit = futures.pop(fut)
                try:
                    rows = fut.result()
                except Exception as e:  # the task killed or hung its worker twice, or was lost
                    why = type(e).__name__
                    text = ("the worker died twice on this file (a crash, or no progress for "
                            f"{args.timeout:g} s)") if why == "KilledWorker" else f"{why}: {e}"
                    rows = [_error_row(args.job, f, settings, text, None) for f in unit]
                for row in rows:
                    row["settings"] = canonical
                    row["finished"] = time.time()
                    if row.get("unchanged"):
                        prev = cat.lookup(row["path"], args.job, sid)
                        if prev and prev["ok"]:
                            cat.db.execute("UPDATE results SET size=?, mtime_ns=? WHERE path=? AND job=? AND "
                                           "settings_id=?", (row.get("size"), row.get("mtime_ns"), row["path"],
                                                             args.job, sid))
                            board.skipped += 1
                            board.done += 1
                            continue
                    cat.record(row)
                    board.done += 1
                    if not row.get("ok"):
                        board.failed += 1
                        exit_code = 2
                        if not args.json:
                            print(f"tonewright: {row['path']}: {row.get('error')}", file=sys.stderr)
                    if args.json:
                        out = {"file": row["path"], "ok": bool(row.get("ok")), "worker": row.get("worker"),
                               "seconds": row.get("seconds")}
                        out["report" if row.get("ok") else "error"] = (json.loads(row["report"]) if row.get("ok")
                                                                       else row.get("error"))
                        print(json.dumps(out), flush=True)
                board.update()
            cat.flush()
        except KeyboardInterrupt:
            cat.flush()  # what finished is kept; the rest is redone next time
            board.finish()
            print("tonewright: interrupted", file=sys.stderr)
            return 130
        finally:
            client.close()
            if cluster is not None:
                cluster.close()
        board.finish()
    return exit_code
