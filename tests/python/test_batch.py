"""The batch over a real Dask cluster: a scheduler and two single-threaded
worker processes on 127.0.0.1, started and stopped here by process id."""
import json
import os
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

distributed = pytest.importorskip("distributed")

HERE = os.path.dirname(os.path.abspath(__file__))


def _sox(path, *synth):
    subprocess.run(["sox", "-R", "-n", "-r", "44100", "-b", "16", "-c", "2", str(path), "synth", *synth],
                   check=True)


def _batch(catalog, *args, timeout=120):
    env = dict(os.environ)
    p = subprocess.run([sys.executable, "-m", "tonewright", "batch", *args, "--catalog", str(catalog), "--json"],
                       capture_output=True, text=True, env=env, timeout=timeout)
    lines = [json.loads(l) for l in p.stdout.splitlines() if l.strip()]
    return p.returncode, lines, p.stderr


@pytest.fixture
def cluster(tmp_path):
    """A scheduler on a free port (its address in a scheduler file) and two
    worker processes; the scheduler gives a task up after it killed two
    workers. Yields the scheduler file and the workers' (nanny) processes."""
    sched_file = tmp_path / "scheduler.json"
    env = dict(os.environ, DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="1")
    procs = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                               "--port", "0", "--no-dashboard", "--scheduler-file", str(sched_file)],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(300):
            if sched_file.exists() and sched_file.stat().st_size > 0:
                break
            time.sleep(0.1)
        for _ in range(2):
            procs.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", str(sched_file),
                 "--nthreads", "1", "--nworkers", "1", "--host", "127.0.0.1", "--no-dashboard"],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with distributed.Client(scheduler_file=str(sched_file), timeout="30s") as c:
            c.wait_for_workers(2, timeout=60)
        yield sched_file
    finally:
        for p in reversed(procs):  # by process id: the workers' nannies, then the scheduler
            if p.poll() is None:
                p.terminate()
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()


def test_batch_on_two_workers(tmp_path, cluster):
    music = tmp_path / "music"
    (music / "a").mkdir(parents=True)
    (music / "b").mkdir()
    for i in range(8):
        _sox(music / ("a" if i < 4 else "b") / f"{i}.wav", "3", "sine", str(220 + 55 * i), "vol", "0.3",
             "pad", "0.5", "0.5")
    # Long enough for a worker to be killed while it reads it.
    _sox(music / "b" / "long.wav", "240", "pinknoise", "vol", "0.2")
    (music / "b" / "broken.wav").write_bytes(b"RIFF\x10\x00\x00\x00WAVEjunk" + os.urandom(64))
    (music / "a" / "loop").symlink_to(music, target_is_directory=True)  # walked once
    catalog = tmp_path / "catalog.sqlite"
    sched = ["--scheduler-file", str(cluster)]

    from distributed import Client
    with Client(scheduler_file=str(cluster), timeout="30s") as client:
        pids = client.run(os.getpid)
        job = subprocess.Popen([sys.executable, "-m", "tonewright", "batch", "analyse", "--no-save", *sched,
                                str(music), "--catalog", str(catalog), "--json"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        killed = None
        deadline = time.monotonic() + 60
        while killed is None and time.monotonic() < deadline and job.poll() is None:
            for worker, keys in client.processing().items():
                # Task keys name the unit's first file.
                if any("-long.wav-" in str(k) for k in keys):
                    os.kill(pids[worker], signal.SIGKILL)
                    killed = worker
                    break
            time.sleep(0.05)
        out, err = job.communicate(timeout=120)
    assert killed, "the long file was never seen running"
    lines = [json.loads(l) for l in out.splitlines() if l.strip()]
    by_file = {os.path.basename(l["file"]): l for l in lines}
    assert job.returncode == 2, err  # the broken file
    assert sorted(by_file) == sorted([f"{i}.wav" for i in range(8)] + ["long.wav", "broken.wav"])
    assert not by_file["broken.wav"]["ok"] and by_file["broken.wav"]["error"]
    assert by_file["long.wav"]["ok"] and by_file["long.wav"]["worker"] != killed
    assert len({l["worker"] for l in lines if l["ok"]}) >= 2  # both workers did work

    # The reports equal the command-line tool's, run serially.
    tool = os.environ.get("TONEWRIGHT_CLI")
    if tool:
        for i in (0, 5):
            f = music / ("a" if i < 4 else "b") / f"{i}.wav"
            cli = subprocess.run([tool, "analyse", "--json", "--no-save", str(f)], capture_output=True, text=True)
            assert json.loads(cli.stdout) == by_file[f"{i}.wav"]["report"]

    # A rerun does no work; a changed file is redone.
    code, again, _ = _batch(catalog, "analyse", "--no-save", *sched, str(music))
    assert again == [] and code == 2  # the failure stays a failure
    _sox(music / "a" / "2.wav", "3", "sine", "1000", "vol", "0.3")
    code, again, _ = _batch(catalog, "analyse", "--no-save", *sched, str(music))
    assert [os.path.basename(l["file"]) for l in again] == ["2.wav"]
    rows = sqlite3.connect(catalog).execute("SELECT COUNT(*), SUM(ok) FROM results").fetchone()
    assert rows == (10, 9)

