"""The library's jobs (info, analyse, split, level, correct, eq, ReplayGain
tags) for Python: each a call that gives the report the command-line tool
prints with --json, as a dataclass whose fields are that object's keys
(``dataclasses.asdict(report)`` and ``report.to_dict()`` give the object
itself; nested values are dicts and lists).

Every job takes, besides its own settings:

- ``progress``: called with an object of ``done``, ``total`` (frames of the
  current pass), ``pass``, ``passes`` and ``fraction`` (of the whole job, 0
  to 1) at least every 100 ms; returning ``False`` stops the job, which then
  raises ``Cancelled`` and leaves no output behind. A tqdm bar fits::

      with tqdm(total=1.0) as bar:
          tw.level("in.flac", "out.flac", progress=lambda p: bar.update(p.fraction - bar.n))

- ``overwrite``: replace existing outputs (otherwise an existing output is an
  error).

The GIL is released while a job runs; Ctrl-C stops it cleanly (no partial
output) and raises KeyboardInterrupt. Warnings go through ``warnings.warn``.
Errors: a bad setting raises ValueError naming it; a missing input
FileNotFoundError, another input or output problem OSError (``filename``:
the file); a failure of the work itself RuntimeError.
"""
import dataclasses
import json
import keyword
import os

from . import _tonewright as _tw

Cancelled = _tw.Cancelled
Cancelled.__module__ = "tonewright"
JobProgress = _tw.JobProgress


class Report:
    """A job's report: one field per key of the tool's --json object."""

    def to_dict(self):
        """The report as the command-line tool's --json object."""
        return dataclasses.asdict(self)


_classes = {}


def _report(kind, text):
    """The report object of the JSON text `text`, of a dataclass named `kind`
    with the object's keys as fields (one class per set of keys)."""
    data = json.loads(text)
    keys = tuple(data)
    cls = _classes.get((kind, keys))
    if cls is None:
        bad = [k for k in keys if not k.isidentifier() or keyword.iskeyword(k)]
        if bad:
            raise RuntimeError(f"{kind}: the report's keys {bad} are not names")
        cls = dataclasses.make_dataclass(kind, list(keys), bases=(Report,))
        cls.__module__ = __name__
        _classes[(kind, keys)] = cls
    return cls(**data)


def _fs(path):
    return os.fsdecode(os.fspath(path))


def info(input, *, progress=None):
    """What a sound file holds: format, sample format, rate (Hz), channels,
    length (frames, seconds), tags and cover. Reads the header and tags only."""
    return _report("InfoReport", _tw._info(_fs(input), progress, False))


def analyse(input, *, threshold=-40.0, save=True, reference="", max_correction=12.0, reuse=False, overwrite=False,
            progress=None):
    """Measures a recording: loudness (LUFS, LU, dBTP), levels per frequency
    band (dB), regions of steady loudness, signal start and end (frames), and
    the nearest reference curve with the correction towards it.

    threshold: regions quieter than this, in dB below the loudest (-120 to 0,
    default -40), are noise. save: write the statistics file beside the input
    (replacing one only with overwrite). reference: a curve's name (default:
    the nearest). max_correction: largest change per band, dB (0 to 40,
    default 12). reuse: take the measurements from a statistics file that
    still describes the input.
    """
    return _report("AnalyseReport", _tw._analyse(_fs(input), float(threshold), bool(save), reference or "",
                                                 float(max_correction), bool(reuse), progress, bool(overwrite)))


def _keep(keep):
    if keep is None or keep is False:
        return None, None
    if isinstance(keep, str):
        parts = keep.split(",")
        try:
            values = [float(v) for v in parts]
        except ValueError:
            values = []
        if len(values) not in (1, 2):
            raise ValueError(f"keep: seconds, as 0.5 or '0.5,1.5', not {keep!r}")
    elif isinstance(keep, (tuple, list)):
        values = [float(v) for v in keep]
    else:
        values = [float(keep)]
    if len(values) == 1:
        values.append(values[0])
    return values[0], values[1]


def split(input, output=None, *, format=None, min_silence=0.4, threshold=-40.0, cut_at=None, keep=None,
          min_length=2.0, merge_short=False, bitrate=192, dry_run=False, name="", cue=False, m3u=False,
          from_cue=None, overwrite=False, progress=None):
    """One file per piece of a recording, cut inside the gaps between them.

    output: a folder for the pieces (numbered from the input's name), or the
    name they are numbered from ("dir/Side A.flac" gives "dir/001-Side
    A.flac"); default: beside the input. format: wav, flac, ogg or mp3
    (default: the input's). min_silence: shortest gap, seconds (0.1 to 600,
    default 0.4). threshold: dB (-120 to 0, default -40). cut_at: where in the
    gap to cut, 0 its start to 1 its end (default 0.5). keep: instead, the
    seconds of silence kept before and after each piece (one number, a pair,
    or "0.5,1.5"). min_length: seconds (default 2); shorter pieces are
    reported, or merged with merge_short. bitrate: kbit/s for MP3 (32 to 320,
    default 192). dry_run: plan only, write nothing. name: a template such as
    "{n:02} - {title}". cue, m3u: write a CUE sheet, a playlist. from_cue: cut
    at the tracks of this CUE sheet.
    """
    fmt = format
    if cut_at is not None and keep is not None:
        raise ValueError("keep: keep and cut_at exclude each other")
    src = _fs(input)
    out = _fs(output) if output is not None else None
    if out is None or os.path.isdir(out) or out.endswith(os.sep):
        base, ext = os.path.splitext(os.path.basename(src))
        ext = "." + fmt.lower() if fmt else ext.lower()
        out = os.path.join(out if out is not None else os.path.dirname(src), base + ext)
    elif fmt and os.path.splitext(out)[1].lower() != "." + fmt.lower():
        raise ValueError("format: the extension of output says otherwise")
    before, after = _keep(keep)
    return _report("SplitReport", _tw._split(src, out, float(min_silence), float(threshold), cut_at, before, after,
                                             float(min_length), bool(merge_short), int(bitrate), bool(dry_run),
                                             name or "", bool(cue), bool(m3u), _fs(from_cue) if from_cue else "",
                                             progress, bool(overwrite)))


def _target(target):
    """(value, is loudness) of a level target: a number (dB RMS per region),
    or a string "-14LUFS" (integrated loudness) or "-14dB"."""
    if isinstance(target, str):
        t = target.strip()
        loud = t.upper().endswith("LUFS")
        if loud:
            t = t[:-4]
        elif t.lower().endswith("db"):
            t = t[:-2]
        try:
            return float(t), loud
        except ValueError:
            raise ValueError(f"target: give dB from -60 to 0, or a loudness such as '-14LUFS', not {target!r}")
    return float(target), False


def level(input, output, *, target=-14.0, true_peak=-1.0, max_gain=12.0, threshold=-40.0, bitrate=192, dither=True,
          reanalyse=False, overwrite=False, progress=None):
    """Levels a recording region by region into `output` (its extension
    names the format: wav, flac, ogg, mp3).

    target: the RMS each region is brought to, dB (-60 to 0, default -14), or
    a string such as "-14LUFS" for an integrated loudness (-70 to 0 LUFS).
    true_peak: ceiling of the output, dBTP (-20 to 0, default -1). max_gain:
    largest gain of a region, dB (0 to 40, default 12). threshold: noise
    threshold, dB below the loudest region (-120 to 0, default -40). bitrate:
    kbit/s for MP3 (32 to 320, default 192). dither: TPDF dither for outputs
    of 16 bits or fewer. reanalyse: find the regions even when a statistics
    file holds them.
    """
    value, loud = _target(target)
    return _report("LevelReport", _tw._level(_fs(input), _fs(output), value, loud, float(true_peak), float(max_gain),
                                             float(threshold), int(bitrate), bool(dither), bool(reanalyse), progress,
                                             bool(overwrite)))


def level_album(inputs, outputs, *, target="-14LUFS", true_peak=-1.0, max_gain=12.0, threshold=-40.0, bitrate=192,
                dither=True, reanalyse=False, overwrite=False, progress=None):
    """Levels the tracks of an album as one: one gain that brings the album
    to the target loudness (LUFS, "-14LUFS" or a number, -70 to 0), so the
    differences between the tracks stay. One output per input; the other
    settings as level's. A list of reports, one per track."""
    value, loud = _target(target) if isinstance(target, str) else (float(target), True)
    if not loud:
        raise ValueError("target: an album is levelled to a loudness: give LUFS, such as '-14LUFS'")
    texts = _tw._level_album([_fs(i) for i in inputs], [_fs(o) for o in outputs], value, float(true_peak),
                             float(max_gain), float(threshold), int(bitrate), bool(dither), bool(reanalyse), progress,
                             bool(overwrite))
    return [_report("LevelReport", t) for t in texts]


def correct(input, output, *, reference=None, max_correction=12.0, true_peak=-1.0, threshold=-40.0, bitrate=192,
            dither=True, reanalyse=False, overwrite=False, progress=None):
    """Moves a recording's spectral balance towards a reference curve (the
    nearest, or the one named by `reference`) into `output`.

    max_correction: limit of every band's change, dB (0 to 40, default 12).
    true_peak: ceiling, dBTP (-20 to 0, default -1). threshold: noise
    threshold of the measuring pass, dB (-120 to 0, default -40). bitrate,
    dither, reanalyse: as level's.
    """
    return _report("CorrectReport", _tw._correct(_fs(input), _fs(output), reference or "", float(max_correction),
                                                 float(true_peak), float(threshold), int(bitrate), bool(dither),
                                                 bool(reanalyse), progress, bool(overwrite)))


def eq(input, output, *, preset=None, gains=None, bass_boost=None, gain=0.0, true_peak=-1.0, bitrate=192, dither=True,
       overwrite=False, progress=None):
    """The player's equaliser run over a recording into `output`.

    preset: a preset's name (any case) or number. gains: dB per band (nine,
    60 Hz to 15 kHz, each within ±8), replacing the preset's. bass_boost: the
    bass-boost band's gain, dB (0 to 20; None: off, True: 8). gain: output
    gain, dB (-20 to 20). true_peak: ceiling, dBTP (-20 to 0, default -1).
    bitrate, dither: as level's.
    """
    if bass_boost is True:
        bass_boost = 8.0
    elif bass_boost is False:
        bass_boost = None
    return _report("EqReport", _tw._eq(_fs(input), _fs(output), "" if preset is None else str(preset),
                                       [float(g) for g in (gains or [])],
                                       None if bass_boost is None else float(bass_boost), float(gain),
                                       float(true_peak), int(bitrate), bool(dither), progress, bool(overwrite)))


def tag_replaygain(files, *, album=False, progress=None):
    """Writes ReplayGain 2.0 tags (track gain to -18 LUFS, dB, and true peak
    as a ratio of full scale) into `files`, in place; with album=True also
    the album's gain and peak (every file is measured before any is tagged).
    A list of reports, one per file. A file that could not be tagged raises
    its error once the others are done."""
    if isinstance(files, (str, bytes, os.PathLike)):
        files = [files]
    return [_report("TagReport", t) for t in _tw._tag([_fs(f) for f in files], bool(album), progress, False)]


def fingerprint(path):
    """The fingerprint of a recording's decoded audio: 40 hexadecimal digits,
    the same for the same sound whatever its tags."""
    return _tw._fingerprint(_fs(path))
