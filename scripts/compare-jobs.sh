#!/usr/bin/env bash
# Records what every job of the command-line tool prints and writes on a fixed set of
# generated recordings, and compares two such records byte for byte, so that a change
# meant to leave the tool's behaviour alone (a refactoring) can be shown to do so.
#
#   scripts/compare-jobs.sh record <tonewright-binary> <outdir>
#   scripts/compare-jobs.sh compare <dirA> <dirB>      # exit 0 identical, 1 otherwise
#
# <outdir>/manifest.txt has one line per item, "kind<TAB>item<TAB>value", sorted:
#   exit  job/<step>         the exit code of one run
#   text  job/<step>/stdout  sha256 of a normalised text kept in <outdir>/texts/<item>
#   text  job/<step>/stderr  (likewise; also CUE sheets, playlists and file tags)
#   hash  file/<path>        sha256 of an output file's bytes (lossless audio, .png; .ssf
#                            with the recording's time and its checksum blanked, see ssf_hash)
#   hash  pcm/<path>         sha256 of an audio file's samples decoded to 32-bit float
#   text  tags/<path>        the streams' format and the tags ffprobe reads
# Ogg files are compared by their decoded samples and tags only: each holds a random
# stream serial number (in every page header, under the page's CRC). MP3 files come out
# the same to the byte from the same samples, so their bytes are hashed as well.
# The jobs run in <outdir>/run with relative paths; the folder's absolute name is
# replaced by <run> in every text all the same.
set -euo pipefail

die() { echo "compare-jobs: $*" >&2; exit 2; }

# --- record -------------------------------------------------------------------------

# Recordings from sox. -R fixes sox's random seed (noise and dither are the same on every
# run; without it two generations differ); -D leaves out dither so that the silences
# between the album's tracks stay digital silence.
synth() {  # synth <file> <rate> <bits|-> <channels> <synth arguments...>
    local f=$1 r=$2 b=$3 c=$4; shift 4
    local bits=(); [[ $b != - ]] && bits=(-b "$b")
    sox -R -D -n -r "$r" "${bits[@]}" -c "$c" "$f" synth "$@"
}

make_recordings() {
    synth stereo16.wav 44100 16 2 8 sine 220 sine 330 pinknoise vol 0.5 fade 0.2 8 1
    synth flac24.flac 48000 24 2 6 sine 110-2000 pinknoise vol 0.4 fade 0.5 6 0.5
    sox -R -n -r 44100 -c 2 -C 5 tone.ogg synth 6 sine 440 brownnoise vol 0.5 fade 0.1 6 1
    sox -R -n -r 44100 -c 2 -C 192 beat.mp3 synth 6 square 150 pinknoise vol 0.3 fade 0.1 6 1
    synth mono.wav 44100 16 1 7 pinknoise vol 0.3 tremolo 2 60 fade 0.3 7 2
    synth hires96.wav 96000 24 2 5 sine 60 sine 12000 vol 0.5 fade 0.2 5 0.5
    # The album: tracks of tone and noise at different levels, separated by digital
    # silence of 0.5-2 s and one gap of faint noise (about -70 dB); the piece around the
    # 0.8 s track is shorter than split's --min-length (2 s).
    mkdir -p gen
    synth gen/01.wav 44100 16 2 4 sine 440 pinknoise vol 0.25 fade 0.05 4 0.3
    synth gen/02.wav 44100 16 2 1.0 sine 0 vol 0
    synth gen/03.wav 44100 16 2 5 pinknoise sine 110 vol 0.6 fade 0.1 5 0.5
    synth gen/04.wav 44100 16 2 1.5 whitenoise vol 0.0003
    synth gen/05.wav 44100 16 2 0.8 sine 880 vol 0.3 fade 0.05 0.8 0.1
    synth gen/06.wav 44100 16 2 0.5 sine 0 vol 0
    synth gen/07.wav 44100 16 2 4 sine 220-660 vol 0.08 fade 0.2 4 0.2
    synth gen/08.wav 44100 16 2 2 sine 0 vol 0
    synth gen/09.wav 44100 16 2 5 brownnoise sine 330 vol 0.4 fade 0 5 3
    sox gen/0*.wav album.wav
    printf '%s\n' "ARTIST=Test Artist" "ALBUM=Generated Album" "GENRE=Test" "DATE=2024" \
        > gen/album.txt
    sox album.wav --comment-file gen/album.txt gen/album-notes.flac
    # A cover picture, carried into the pieces by split; bitexact leaves out ffmpeg's
    # version from the files.
    ffmpeg -v error -fflags +bitexact -f lavfi -i color=c=0x3366aa:s=32x32 -frames:v 1 \
        -flags +bitexact gen/cover.png
    ffmpeg -v error -i gen/album-notes.flac -i gen/cover.png -map 0:a -map 1:v -c copy \
        -disposition:v attached_pic -fflags +bitexact -flags +bitexact album.flac
    rm -rf gen
    # A sheet for --from-cue (times are mm:ss:ff, 75 frames a second).
    cat > album.cue <<'EOF'
PERFORMER "Test Artist"
TITLE "Generated Album"
FILE "album.wav" WAVE
  TRACK 01 AUDIO
    TITLE "Opening"
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Noise and Bass"
    INDEX 01 00:04:30
  TRACK 03 AUDIO
    TITLE "Sweep"
    INDEX 01 00:12:60
  TRACK 04 AUDIO
    TITLE "Ending"
    INDEX 01 00:19:00
EOF
}

# Normalises a text in place. Stripped, each because it changes between runs or
# machines without the tool's behaviour changing:
# - the run folder's absolute name -> <run> (records are made in different folders);
# - temporary names .tonewright-partial-<pid>-<suffix> -> .tonewright-partial-<tmp>
#   (the pid and the random suffix differ on every run);
# - version lines of --version (tonewright and the libraries: a rebuild or an upgrade).
# Nothing else: the only times the tool prints about itself are in its progress bar,
# which appears only on a terminal (stdout and stderr are files here), and a broader
# pattern would hide real changes of the figures the jobs print.
normalise() {
    sed -i -E \
        -e "s#${RUN//#/\\#}#<run>#g" \
        -e 's#\.tonewright-partial-[^ "/]*#.tonewright-partial-<tmp>#g' \
        -e 's#^(tonewright|libsndfile|mpg123|TagLib|LAME) [0-9][^ ]*$#\1 <version>#' \
        "$1"
}

put() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >> "$OUT/manifest.unsorted"; }

# Stores a text under <outdir>/texts/<item>, normalised, and lists it.
put_text() {  # put_text <item> <file>
    local dest="$OUT/texts/$1"
    mkdir -p "$(dirname "$dest")"
    cp "$2" "$dest"
    normalise "$dest"
    put text "$1" "$(sha256sum < "$dest" | cut -d' ' -f1)"
}

step() {  # step <name> <job arguments...>: one run of the tool in the run folder
    local name=$1 rc=0; shift
    "$TW" "$@" > "$OUT/tmp.out" 2> "$OUT/tmp.err" < /dev/null || rc=$?
    put exit "job/$name" "$rc"
    put_text "job/$name/stdout" "$OUT/tmp.out"
    put_text "job/$name/stderr" "$OUT/tmp.err"
}

# What ffprobe reads of a file: the format, each stream's codec, rate, channels, sample
# format, length and picture size, and the tags. Only these fields are kept, so that a
# newer ffprobe with more fields does not count as a difference; the encoder's version
# ("encoder" tags, vendor strings) is left out, the bytes are hashed apart.
tags_of() {
    ffprobe -v error -print_format json -show_format -show_streams "$1" < /dev/null | /usr/bin/python3 -c '
import json, sys
d = json.load(sys.stdin)
keep_f = ("format_name", "duration", "nb_streams", "tags")
keep_s = ("codec_type", "codec_name", "sample_rate", "channels", "channel_layout", "sample_fmt",
          "bits_per_raw_sample", "duration_ts", "width", "height", "pix_fmt", "tags")
def pick(o, keys):
    o = {k: o[k] for k in keys if k in o}
    if "tags" in o: o["tags"] = {k: v for k, v in o["tags"].items() if k.lower() not in ("encoder", "vendor")}
    return o
out = {"format": pick(d.get("format", {}), keep_f),
       "streams": [dict(pick(s, keep_s), attached_pic=s.get("disposition", {}).get("attached_pic", 0))
                   for s in d.get("streams", [])]}
json.dump(out, sys.stdout, indent=1, sort_keys=True); print()'
}

# sha256 of a statistics file with the modification time of the recording it describes
# blanked: the file stores it ("Modified", milliseconds since 1970, a double of the binary
# JSON) to tell later whether the recording was touched, and the recordings of two records
# are made at different times. The time is the recording's beside it (same base name), so
# its 8 bytes are found exactly. "Checksum" (40 hex digits, a SHA-1 of the rest, time
# included) is blanked with it; everything else is compared as written.
ssf_hash() {
    /usr/bin/python3 - "$1" <<'PY'
import glob, hashlib, os, re, struct, sys
path = sys.argv[1]
data = open(path, "rb").read()
for rec in glob.glob(glob.escape(path[:-4]) + ".*"):
    if not rec.endswith(".ssf"):
        ms = float(os.stat(rec).st_mtime_ns // 1000000)
        data = data.replace(struct.pack("<d", ms), b"MODIFIED")
data = re.sub(rb"(Checksum[\x00-\xff]{0,6}?)[0-9a-f]{40}", lambda m: m.group(1) + b"-" * 40, data, count=1)
print(hashlib.sha256(data).hexdigest())
PY
}

record_files() {
    local f
    (cd "$RUN" && find . -type f ! -name 'tmp.*' | sed 's#^\./##' | LC_ALL=C sort) |
    while IFS= read -r f; do
        case "${f,,}" in
        *.wav|*.flac|*.ogg|*.mp3)
            case "${f,,}" in *.wav|*.flac|*.mp3) put hash "file/$f" "$(sha256sum < "$RUN/$f" | cut -d' ' -f1)";; esac
            put hash "pcm/$f" "$(ffmpeg -nostdin -v error -i "$RUN/$f" -map 0:a -f f32le - | sha256sum | cut -d' ' -f1)"
            tags_of "$RUN/$f" > "$OUT/tmp.tags"
            put_text "tags/$f" "$OUT/tmp.tags";;
        *.ssf)
            put hash "file/$f" "$(ssf_hash "$RUN/$f")";;
        *.cue|*.m3u|*.m3u8|*.txt|*.json)
            put_text "file/$f" "$RUN/$f";;
        *)
            put hash "file/$f" "$(sha256sum < "$RUN/$f" | cut -d' ' -f1)";;
        esac
    done
}

record() {
    [[ -x $1 ]] || die "not an executable: $1"
    TW=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
    mkdir -p "$2"; OUT=$(cd "$2" && pwd); RUN=$OUT/run
    rm -rf "$RUN" "$OUT/texts" "$OUT/manifest.txt" "$OUT/manifest.unsorted"
    mkdir -p "$RUN"
    (cd "$RUN" && make_recordings)
    cd "$RUN"   # the jobs take relative names (and globs expand here)
    local all=(stereo16.wav flac24.flac tone.ogg beat.mp3 mono.wav hires96.wav album.flac)

    step version --version
    step info-text info "${all[@]}"
    step info-json info --json "${all[@]}"
    step info-missing info missing.wav                   # exit 2, names the file
    step level-bad-target level --target loud stereo16.wav   # exit 1

    step analyse-json analyse --json stereo16.wav flac24.flac tone.ogg beat.mp3 mono.wav hires96.wav
    step analyse-text-plot analyse --plot album.png album.wav
    step analyse-nosave analyse --json --no-save album.flac
    step analyse-again analyse --json stereo16.wav     # keeps the .ssf it finds
    step analyse-album analyse --album --json --no-save stereo16.wav flac24.flac beat.mp3

    step split-dry split -n album.wav
    step split-dry-json split -n --json --merge-short album.flac
    step split-flac split -f flac --cue --m3u --name '{n:02} - {title}' -o pieces-flac/ album.flac
    step split-wav split -f wav -o pieces-wav/ album.wav
    mkdir pieces-mp3
    step split-mp3 split -f mp3 --cue --m3u -o 'pieces-mp3/Side A.mp3' album.flac
    step split-keep split --keep 0.2,0.5 --json -o pieces-keep/ album.wav
    step split-merge split --merge-short --name '{name} {n}-{total}' -o pieces-merge/ album.flac
    step split-from-cue split --from-cue album.cue --cue -f flac -o pieces-cue/ album.wav

    step level-default level stereo16.wav                # reuses stereo16.ssf
    step level-lufs level -t -14LUFS --json -o level-lufs.flac flac24.flac
    step level-album level --album -t -16LUFS --json -o level-album/ pieces-wav/*.wav
    step level-mp3 level -f mp3 -o level-ogg.mp3 tone.ogg
    step level-mono level --json -o level-mono.wav mono.wav
    step level-reanalyse level --reanalyse -t -18 -o level-reanalysed.wav stereo16.wav

    step correct-list correct --list
    step correct-default correct --json stereo16.wav
    step correct-reference correct -r 'Pink -3 dB/oct' -o correct-pink.flac flac24.flac
    step correct-96k correct --json -o correct-96k.wav hires96.wav

    step eq-list eq --list-presets
    step eq-preset eq --preset Rock -o eq-rock.wav stereo16.wav
    step eq-band eq --band 60=4 --band 8k=-3 --json -o eq-band.flac flac24.flac
    step eq-bass eq --bass-boost -g -2 -o eq-bass.wav mono.wav
    step eq-ogg eq --preset Jazz -f ogg -o eq-jazz.ogg beat.mp3
    step eq-plot eq --band 1k=3 --bass-boost --plot eq.png

    mkdir tag-track tag-album
    cp stereo16.wav flac24.flac tone.ogg beat.mp3 tag-track/
    cp pieces-flac/*.flac pieces-mp3/*.mp3 tag-album/
    step tag-track tag --json tag-track/stereo16.wav tag-track/flac24.flac tag-track/tone.ogg tag-track/beat.mp3
    step tag-album tag --album tag-album/*

    step demo demo -o demo-out

    record_files
    rm -f "$OUT/tmp.out" "$OUT/tmp.err" "$OUT/tmp.tags"
    LC_ALL=C sort "$OUT/manifest.unsorted" > "$OUT/manifest.txt"
    rm "$OUT/manifest.unsorted"
    echo "recorded $(wc -l < "$OUT/manifest.txt") items into $OUT/manifest.txt"
}

# --- compare ------------------------------------------------------------------------

compare() {
    local a=$1 b=$2 differ=0 kind item va vb
    [[ -f $a/manifest.txt && -f $b/manifest.txt ]] || die "no manifest.txt in $a or $b"
    # Items of either side, each with its value on both sides ("-" when absent).
    while IFS=$'\t' read -r kind item va vb; do
        [[ $va == "$vb" ]] && continue
        differ=1
        if [[ $va == - ]]; then echo "only in $b: $kind $item"
        elif [[ $vb == - ]]; then echo "only in $a: $kind $item"
        elif [[ $kind == text ]]; then
            echo "differs: $item"
            diff -u --label "$a/texts/$item" --label "$b/texts/$item" "$a/texts/$item" "$b/texts/$item" || true
        else echo "differs: $kind $item ($va vs $vb)"
        fi
    done < <(/usr/bin/python3 - "$a/manifest.txt" "$b/manifest.txt" <<'EOF'
import sys
def load(p):
    with open(p, encoding="utf-8") as f:
        return {tuple(l.rstrip("\n").split("\t")[:2]): l.rstrip("\n").split("\t")[2] for l in f}
a, b = load(sys.argv[1]), load(sys.argv[2])
for k in sorted(set(a) | set(b)):
    print("\t".join([k[0], k[1], a.get(k, "-"), b.get(k, "-")]))
EOF
)
    if (( differ )); then echo "records differ"; return 1; fi
    echo "identical: $(wc -l < "$a/manifest.txt") items"
}

case "${1:-}" in
record) (( $# == 3 )) || die "usage: $0 record <tonewright-binary> <outdir>"; record "$2" "$3";;
compare) (( $# == 3 )) || die "usage: $0 compare <dirA> <dirB>"; compare "$2" "$3";;
*) die "usage: $0 record <tonewright-binary> <outdir> | compare <dirA> <dirB>";;
esac
