"""The library's jobs (info, analyse, split, level, correct, eq, ReplayGain
tags) for Python: each a call taking a settings value and giving the report
the command-line tool prints with --json, with a progress callback.

They are made on the library's public jobs layer (include/tonewright/Jobs.h
and one header per job) and come with it; this module holds them.
"""
