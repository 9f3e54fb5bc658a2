"""Sound files as NumPy arrays: reading (AudioFile, read) and writing (write).

Every array of samples in this package has the shape ``(channels, frames)``:
row 0 is the left channel (or the only one), row 1 the right. A mono file
gives one row; a stereo file two; a file of three to eight channels is mixed
down to two rows by the library as it reads it (centre and surrounds at -3 dB,
the low-frequency channel left out). Samples are floats at full scale 1.0.
The layout never depends on the data: a (2, 2) array is two channels of two
frames, and an array laid out the other way round, (frames, channels) as
other libraries give it, is passed as ``audio.T``.
"""

import os

from . import _tonewright as _tw

__all__ = ["AudioFile", "read", "write"]


class AudioFile:
    """A sound file open for reading: WAV, FLAC, Ogg Vorbis or MP3.

    ``AudioFile(path)`` opens the file (``FileNotFoundError`` when it does not
    exist, ``OSError`` naming it when it cannot be read, ``ValueError`` for a
    name the library does not read). Use it as a context manager, or call
    ``close()``::

        with tw.AudioFile("album.flac") as f:
            for block in f.blocks(65536):
                ...

    One AudioFile is read by one thread at a time: a call from a second
    thread while one runs raises ``RuntimeError``. Two files may be read by
    two threads side by side; reading releases the GIL.
    """

    def __init__(self, path):
        self._file = _tw.AudioFile(os.fspath(path))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        if self._file.closed:
            return f"<AudioFile {self._file.path!r} closed>"
        return (f"<AudioFile {self._file.path!r} {self.format} {self.samplerate} Hz "
                f"{self.channels} ch {self.duration:.3f} s>")

    @property
    def path(self):
        """The file name given to the constructor."""
        return self._file.path

    @property
    def samplerate(self):
        """Frames per second (Hz)."""
        return self._file.samplerate

    @property
    def frames(self):
        """Frames in the file (per channel)."""
        return self._file.frames

    @property
    def channels(self):
        """The file's own channel count (1 for mono), before any mixing down."""
        return self._file.channels

    @property
    def rows(self):
        """Rows of the arrays ``read`` gives: 1 for a mono file, 2 otherwise."""
        return self._file.rows

    @property
    def duration(self):
        """Length in seconds (frames / samplerate)."""
        return self._file.duration

    @property
    def format(self):
        """The container, by the file's extension: "wav", "flac", "ogg" or "mp3"."""
        return self._file.format

    @property
    def sample_format(self):
        """The stored samples: "pcm8", "pcm16", "pcm24", "pcm32", "float" or "double"
        (MP3 files report "pcm16")."""
        return self._file.sample_format

    @property
    def position(self):
        """The frame the next ``read`` starts at (0 after opening or ``rewind``)."""
        return self._file.position

    @property
    def tags(self):
        """The file's tags as a dict of texts: "title", "artist", "album", "year",
        "comment", "track", "tracktotal", "genre" when set, and any further
        field under its upper-case name (e.g. "REPLAYGAIN_TRACK_GAIN")."""
        return self._file.tags

    @property
    def cover(self):
        """The embedded picture's bytes (PNG or JPEG), or None."""
        return self._file.cover

    @property
    def closed(self):
        """True once ``close`` has been called."""
        return self._file.closed

    def read(self, frames=-1):
        """The next ``frames`` frames (all that are left when negative, the
        default) as a ``numpy.float32`` array of shape ``(rows, n)``; n is
        smaller than asked only at the end of the file (0 there)."""
        return self._file.read(int(frames))

    def blocks(self, frames):
        """Yields the rest of the file in arrays of ``frames`` frames (the last
        may be shorter), each as ``read`` gives it."""
        frames = int(frames)
        if frames <= 0:
            raise ValueError(f"frames must be positive, not {frames}")
        while True:
            block = self._file.read(frames)
            if block.shape[1] == 0:
                return
            yield block

    def rewind(self):
        """Back to the first frame."""
        self._file.rewind()

    def close(self):
        """Closes the file; later reads raise ``ValueError``."""
        self._file.close()


def read(path):
    """The whole file as ``(audio, samplerate)``: a ``numpy.float32`` array of
    shape ``(rows, frames)`` (see ``AudioFile``) and the rate in Hz."""
    with AudioFile(path) as f:
        return f.read(), f.samplerate


def write(path, audio, samplerate, bits=16, tags=None, cover=None, bitrate=192):
    """Writes ``audio`` to a WAV, FLAC, Ogg Vorbis or MP3 file, by the name's extension.

    audio: float32 or float64 array of shape ``(channels, frames)``, one or two
        rows, full scale 1.0, finite (float64 is read where it lies, without a
        copy).
    samplerate: frames per second (Hz), a whole number from 1000 to 768000.
    bits: 8, 16 (default), 24, 32 or "float" for WAV; 8, 16 or 24 for FLAC;
        ignored by Ogg and MP3, which encode the floats.
    tags: a dict of texts as ``AudioFile.tags`` gives it (default: none).
    cover: the bytes of a PNG or JPEG picture (default: none).
    bitrate: MP3 bit rate in kbit/s (default 192).

    The file is written under a temporary name in its folder and takes its
    name only once complete, so the name never holds half a file; an existing
    file of that name is replaced. Integer formats round (no dither) and clip
    at full scale. Raises ``ValueError`` for a wrong array, rate or setting,
    ``FileNotFoundError`` when the folder does not exist and ``OSError``
    naming the file when it cannot be written. Releases the GIL while writing.
    """
    if isinstance(bitrate, bool) or not isinstance(bitrate, int):
        raise ValueError(f"bitrate must be a whole number of kbit/s, not {bitrate!r}")
    _tw.write(os.fspath(path), audio, samplerate, bits, tags, cover, bitrate)
