"""Chain: algorithms run one after the other over NumPy arrays."""

import collections.abc
import json

from . import _tonewright as _tw
from .algorithms import Algorithm, _described

__all__ = ["Chain"]


class Chain(collections.abc.MutableSequence):
    """A list of algorithms (``tw.Gain``, ``tw.Biquads``, ... or nested chains)
    run one after the other by the library's block loop.

    ``chain(audio, samplerate)`` runs one whole pass: ``audio`` is a float32
    or float64 array of shape ``(channels, frames)`` (one or two rows), and
    the result has the same rows and type and ``frames + chain.delay`` frames:
    output frame n lies at stream frame n, so algorithms with a delay (FIR and
    FFT filters, ``Delay``) give their lead-in or tail as extra frames at the
    end, and the others exactly as many frames as went in.

    A stream too long to hold, or arriving piece by piece, is run in calls
    with ``reset=False``: the pass goes on where the last call left it, each
    call returns the frames that have become final, and ``flush()`` ends the
    pass with the rest. The library cuts the stream into its own blocks
    (``chain.block`` frames), whatever the pieces were, so the returned
    pieces put together equal the whole pass to the sample; a call returns
    fewer frames than it was given while a block is incomplete (up to one
    block and the delay stay inside until later calls or ``flush()``).

    The list is read when a pass starts: changes apply from the next pass.
    One chain runs in one thread at a time (a second thread gets
    ``RuntimeError``); the GIL is released while it processes.

    ``to_json()`` and ``Chain.from_json()`` save and load the chain as the
    library's algorithm descriptions (a JSON array).
    """

    def __init__(self, algorithms=()):
        self._items = []
        self._runner = _tw.Runner()
        for a in algorithms:
            self.append(a)

    # ------------------------------------------------------------ the list

    def __len__(self):
        return len(self._items)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return Chain(self._items[index])
        return self._items[index]

    def __setitem__(self, index, value):
        if isinstance(index, slice):
            values = list(value)
            for v in values:
                _described(v)
            self._items[index] = values
        else:
            _described(value)
            self._items[index] = value

    def __delitem__(self, index):
        del self._items[index]

    def insert(self, index, value):
        """Inserts an algorithm (or a chain) before ``index``."""
        _described(value)
        self._items.insert(index, value)

    def __eq__(self, other):
        return isinstance(other, Chain) and self.descriptions() == other.descriptions()

    def __repr__(self):
        return "Chain([" + ", ".join(repr(a) for a in self._items) + "])"

    # ------------------------------------------------------------ descriptions

    def descriptions(self):
        """The library's descriptions of the members, in order (a list of dicts)."""
        return [json.loads(json.dumps(_described(a))) for a in self._items]

    def description(self):
        """The chain as one description (a composite of one branch), so that a
        chain can be a member of another chain or of ``Branches``."""
        return {"Class": "SoundAlgoComposite", "Branches": [self.descriptions()], "ParallelBranches": False}

    def to_json(self, indent=2):
        """The chain as JSON text: an array of the library's algorithm descriptions."""
        return json.dumps(self.descriptions(), indent=indent, allow_nan=False)

    @classmethod
    def from_json(cls, text):
        """A chain from ``to_json`` text (or any JSON array of the library's
        descriptions; a single object is a chain of one). ``ValueError`` names
        the algorithm and the setting a description gets wrong."""
        try:
            data = json.loads(text)
        except json.JSONDecodeError as e:
            raise ValueError(f"not JSON text: {e}") from None
        if isinstance(data, dict):
            data = [data]
        if not isinstance(data, list):
            raise ValueError("a chain is described by a JSON array of algorithm descriptions")
        return cls(Algorithm(d) for d in data)

    # ------------------------------------------------------------ running

    def __call__(self, audio, samplerate, reset=True):
        """Runs ``audio`` (float32 or float64, shape ``(channels, frames)``)
        at ``samplerate`` Hz and returns the processed frames (same rows and
        type). With ``reset`` (the default) the call is one whole pass; with
        ``reset=False`` it continues the running pass (starting one if none
        runs) and returns the frames that are final so far; ``flush()`` ends it."""
        if reset or not self._runner.running:
            self._runner.start(json.dumps(self.descriptions()), audio, samplerate, bool(reset))
        elif samplerate != self._runner.samplerate:
            raise ValueError(f"the running pass is at {self._runner.samplerate} Hz, not {samplerate!r}; "
                             "flush() it first or call with reset=True")
        return self._runner.feed(audio, bool(reset))

    def flush(self):
        """Ends the running pass and returns its last frames (the rest of the
        last block and the delay's tail). ``ValueError`` when no pass runs."""
        if not self._runner.running:
            raise ValueError("no pass is running: flush() follows calls with reset=False")
        return self._runner.feed(None, True)

    @property
    def running(self):
        """True while a pass started with ``reset=False`` waits for more frames."""
        return self._runner.running

    @property
    def delay(self):
        """Frames the output of a pass is longer than its input (FIR and FFT
        filters: taps - 1; ``Delay``: its length; most algorithms: 0), at the
        rate of the current or last pass; None before the first pass."""
        return self._runner.delay if self._runner.samplerate else None

    @property
    def block(self):
        """Frames the library takes from the stream per block in the running
        pass (0 when none runs): a call with ``reset=False`` processes whole
        blocks only."""
        return self._runner.block
