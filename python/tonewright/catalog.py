"""The catalog of a batch: one SQLite row per file and job.

A row records what was measured or written for one file by one job with one set
of settings: the file's path, size, modification time and audio fingerprint,
the settings (as canonical JSON), the job's report (the same JSON object as
the command-line tool's ``--json``) or the error text, the worker that did it,
the seconds it took and when it finished.

Rows are written by the client only, and only for finished work: a task that
never came back (a killed client, a killed worker, a full disk) leaves no row,
so the catalog never claims a result that the files do not hold. Writes are
gathered and committed in batches, so that a million rows cost a million
inserts, not a million transactions.

Threading: one Catalog per process, used from the thread that opened it.
"""
import csv
import hashlib
import json
import os
import sqlite3
import sys
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS results (
    path        TEXT NOT NULL,     -- absolute path as the workers see it
    job         TEXT NOT NULL,     -- info, analyse, tag, level, correct, split
    settings    TEXT NOT NULL,     -- canonical JSON of the job's settings
    settings_id TEXT NOT NULL,     -- SHA-1 of settings, for the key
    size        INTEGER,           -- bytes, after the job (tag changes the file)
    mtime_ns    INTEGER,           -- modification time after the job, ns since 1970
    fingerprint TEXT,              -- of the decoded audio (unchanged by tagging)
    ok          INTEGER NOT NULL,  -- 1: report holds the result; 0: error holds why
    report      TEXT,              -- the job's JSON report
    error       TEXT,
    worker      TEXT,
    seconds     REAL,              -- wall time of the job on the worker
    finished    REAL NOT NULL,     -- Unix time the client recorded the row
    PRIMARY KEY (path, job, settings_id)
);
CREATE INDEX IF NOT EXISTS results_ok ON results (job, ok);
"""


def settings_id(settings):
    """A stable key for a settings dict (sorted keys, no spaces)."""
    return hashlib.sha1(canonical(settings).encode()).hexdigest()


def canonical(settings):
    return json.dumps(settings, sort_keys=True, separators=(",", ":"))


def default_path():
    """The catalog used without --catalog: tonewright-catalog.sqlite in the
    user's data folder ($XDG_DATA_HOME or ~/.local/share)."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(base, "tonewright", "catalog.sqlite")


class Catalog:
    """The SQLite catalog at `path` (created with its folder when missing)."""

    def __init__(self, path, batch_rows=200, batch_seconds=2.0):
        folder = os.path.dirname(os.path.abspath(path))
        os.makedirs(folder, exist_ok=True)
        self.path = path
        self.db = sqlite3.connect(path, timeout=30)
        self.db.executescript(SCHEMA)
        self.pending = []
        self.batch_rows, self.batch_seconds = batch_rows, batch_seconds
        self.last_flush = time.monotonic()

    def close(self):
        self.flush()
        self.db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def lookup(self, path, job, sid):
        """The row of (path, job, settings) as a dict, or None."""
        cur = self.db.execute(
            "SELECT size, mtime_ns, fingerprint, ok FROM results WHERE path=? AND job=? AND settings_id=?",
            (path, job, sid))
        row = cur.fetchone()
        if row is None:
            return None
        return {"size": row[0], "mtime_ns": row[1], "fingerprint": row[2], "ok": bool(row[3])}

    def record(self, row):
        """Queues one finished file's row; committed with the next flush."""
        self.pending.append(row)
        if len(self.pending) >= self.batch_rows or time.monotonic() - self.last_flush >= self.batch_seconds:
            self.flush()

    def flush(self):
        if not self.pending:
            return
        rows = [(r["path"], r["job"], r["settings"], settings_id_of(r), r.get("size"), r.get("mtime_ns"),
                 r.get("fingerprint"), 1 if r["ok"] else 0, r.get("report"), r.get("error"), r.get("worker"),
                 r.get("seconds"), r.get("finished", time.time())) for r in self.pending]
        with self.db:  # one transaction: all rows of the batch or none
            self.db.executemany("INSERT OR REPLACE INTO results VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)", rows)
        self.pending.clear()
        self.last_flush = time.monotonic()

    # ------------------------------------------------------------ reading
    def summary(self):
        """{job: {"ok": n, "failed": n, "seconds": total}}"""
        out = {}
        for job, ok, n, seconds in self.db.execute(
                "SELECT job, ok, COUNT(*), TOTAL(seconds) FROM results GROUP BY job, ok ORDER BY job"):
            entry = out.setdefault(job, {"ok": 0, "failed": 0, "seconds": 0.0})
            entry["ok" if ok else "failed"] += n
            entry["seconds"] += seconds
        return out

    def rows(self, job=None, failed_only=False):
        query = "SELECT * FROM results"
        where, args = [], []
        if job:
            where.append("job=?")
            args.append(job)
        if failed_only:
            where.append("ok=0")
        if where:
            query += " WHERE " + " AND ".join(where)
        cur = self.db.execute(query + " ORDER BY path, job", args)
        names = [d[0] for d in cur.description]
        for values in cur:
            yield dict(zip(names, values))


def settings_id_of(row):
    return hashlib.sha1(row["settings"].encode()).hexdigest()


def main(argv):
    """python3 -m tonewright catalog [--catalog F] [--job J] [--failed] [--csv | --jsonl]"""
    import argparse
    p = argparse.ArgumentParser(prog="python3 -m tonewright catalog",
                                description="Summarise a batch catalog, or export its rows as CSV or JSON lines.")
    p.add_argument("--catalog", default=default_path(), help="the SQLite catalog (default: %(default)s)")
    p.add_argument("--job", help="only this job's rows")
    p.add_argument("--failed", action="store_true", help="only the files that failed")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--csv", action="store_true", help="every row as CSV on stdout")
    fmt.add_argument("--jsonl", action="store_true", help="every row as one JSON object per line on stdout")
    a = p.parse_args(argv)
    if not os.path.exists(a.catalog):
        print(f"tonewright: {a.catalog}: no such catalog", file=sys.stderr)
        return 2
    with Catalog(a.catalog) as cat:
        if a.csv or a.jsonl:
            writer = None
            for row in cat.rows(a.job, a.failed):
                if a.jsonl:
                    row = dict(row, report=json.loads(row["report"]) if row["report"] else None,
                               settings=json.loads(row["settings"]))
                    print(json.dumps(row))
                    continue
                if writer is None:
                    writer = csv.DictWriter(sys.stdout, fieldnames=list(row))
                    writer.writeheader()
                writer.writerow(row)
            return 0
        summary = cat.summary()
        if not summary:
            print(f"{a.catalog}: empty")
            return 0
        print(f"{a.catalog}:")
        for job, s in summary.items():
            print(f"  {job:8} {s['ok']:8} done  {s['failed']:6} failed  {s['seconds']:10.1f} s of work")
    return 0
