"""Threads: long native calls release the GIL, one object used from two threads
at once raises instead of corrupting, two files are read side by side."""
import sys
import threading
import time

import numpy as np
import pytest

import tonewright as tw

RATE = 44100


def test_python_runs_while_a_chain_processes_and_a_second_caller_is_refused():
    x = 0.1 * np.random.default_rng(5).standard_normal((2, 60 * RATE))
    chain = tw.Chain([tw.PlayerEqualizer(preset="Rock"), tw.Limiter()])
    reference = tw.Chain(chain)(x, RATE)
    outcome, entering = {}, threading.Event()

    def long_call():
        entering.set()
        try:
            outcome["out"] = chain(x, RATE)
        except RuntimeError as e:
            outcome["error"] = e

    # No forced switches: this thread only runs while the worker has let the
    # GIL go of its own accord (or has ended).
    interval = sys.getswitchinterval()
    sys.setswitchinterval(60)
    try:
        worker = threading.Thread(target=long_call)
        worker.start()
        entering.wait()
        progress, refused = 0, 0
        while worker.is_alive():
            progress += 1
            if not refused:
                try:
                    chain(x[:, :100], RATE)
                except RuntimeError:
                    refused += 1
            time.sleep(0)  # lets the worker take the GIL back when its call returns
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert progress > 100  # this thread ran while the chain processed 60 s
    assert refused == 1 and "error" not in outcome  # the second caller, never the first
    np.testing.assert_array_equal(outcome["out"], reference)


def test_two_files_are_read_in_two_threads(tmp_path):
    paths = [tmp_path / "a.flac", tmp_path / "b.wav"]
    for i, p in enumerate(paths):
        tw.write(p, 0.1 * np.random.default_rng(i).standard_normal((2, 20 * RATE)), RATE, bits=24)
    alone = [tw.read(p)[0] for p in paths]
    together = [None, None]

    def read(i):
        together[i] = tw.read(paths[i])[0]

    threads = [threading.Thread(target=read, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        np.testing.assert_array_equal(a, b)


def test_a_closed_file_refuses_reads(tmp_path):
    path = tmp_path / "x.wav"
    tw.write(path, np.zeros((1, 10)), RATE)
    f = tw.AudioFile(path)
    f.close()
    with pytest.raises(ValueError, match="closed"):
        f.read()
