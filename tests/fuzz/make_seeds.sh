#!/bin/bash
# Makes the seed corpus of every fuzz target:  make_seeds.sh SEED_DIR MAKE_SEEDS_PROGRAM
# SEED_DIR/<target>/ gets small real inputs of the target's kind, made by ffmpeg, ImageMagick,
# dvdauthor (through the tests' own DVD fixture) and the program's own bookmark writer. Each
# seed is kept small: the fuzzer's inputs grow from the seeds' sizes.
set -euo pipefail

seeds="$1"
make_seeds="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$seeds"/{avi_headers,avi_summary,avi_recovery,msvideo1_intra,picture,dvd_ifo}

ff() { ffmpeg -v error -y "$@"; }
video="testsrc=size=64x48:rate=10"
sound="sine=frequency=440:sample_rate=8000"

# AVI files of the kinds the program writes and reads: XVID + MP3, MS Video 1 + PCM (the
# recording's own pair), Motion JPEG, sound alone, and an OpenDML (AVIX) file.
ff -f lavfi -i "$video" -f lavfi -i "$sound" -t 0.5 -c:v mpeg4 -vtag XVID -c:a libmp3lame \
    -b:a 32k "$work/xvid_mp3.avi"
ff -f lavfi -i "$video" -t 0.5 -c:v msvideo1 "$work/msvc.avi"
ff -f lavfi -i "$sound" -t 0.5 -c:a pcm_s16le "$work/pcm.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -t 0.3 -c:v mjpeg -q:v 20 -c:a pcm_u8 "$work/mjpg.avi"
ff -f lavfi -i "$video" -f lavfi -i "$sound" -t 0.3 -c:v msvideo1 -c:a pcm_s16le -ac 2 \
    "$work/msvc_pcm.avi"
for f in "$work"/*.avi; do
    name="$(basename "$f" .avi)"
    # The header list alone is what the header reader looks at.
    head -c 4096 "$f" >"$seeds/avi_headers/$name"
    cp "$f" "$seeds/avi_summary/$name.avi"
    cp "$f" "$seeds/avi_recovery/$name.avi"
    # A recording cut off by a kill: its data up to a point, no index.
    size=$(stat -c %s "$f")
    head -c $((size * 2 / 3)) "$f" >"$seeds/avi_recovery/${name}_cut.avi"
done

# MS Video 1 pictures as a chunk holds them, after the three bytes of size and depth that
# the target reads first (64x48 is 16x12 blocks, 16 bits a pixel).
ff -f lavfi -i "$video" -frames:v 3 -c:v msvideo1 -f rawvideo "$work/msvc.raw"
printf '\x10\x0c\x00' | cat - "$work/msvc.raw" >"$seeds/msvideo1_intra/msvc16"
ff -f lavfi -i "$video" -frames:v 1 -c:v msvideo1 -f rawvideo "$work/msvc1.raw"
printf '\x10\x0c\x00' | cat - "$work/msvc1.raw" >"$seeds/msvideo1_intra/msvc16_first"
printf '\x02\x02\x01\x00\x00\x00\x80\x00\x00\x00\x80\x00\x00\x00\x80\x00\x00\x00\x80' \
    >"$seeds/msvideo1_intra/msvc8_colours"

# Pictures of every kind images-to-AVI offers, small, with and without transparency.
convert -size 16x12 gradient:red-blue "$work/g.png"
convert "$work/g.png" "$seeds/picture/g.bmp"
convert "$work/g.png" -type palette BMP3:"$seeds/picture/g8.bmp"
convert "$work/g.png" -alpha set -channel A -evaluate set 50% "PNG32:$seeds/picture/ga.png"
convert "$work/g.png" -colors 4 "PNG8:$seeds/picture/g4.png"
convert "$work/g.png" -quality 50 "$seeds/picture/g.jpg"
convert "$work/g.png" -interlace JPEG -quality 50 "$seeds/picture/gp.jpg"
convert "$work/g.png" "$seeds/picture/g.gif"
convert "$work/g.png" "$seeds/picture/g.ppm"
convert "$work/g.png" "$seeds/picture/g.xpm"
convert "$work/g.png" "$seeds/picture/g.ico"
ff -f lavfi -i "testsrc=size=16x12" -frames:v 1 "$seeds/picture/ff.png"

# The volume's IFO files one after the other, from the tests' two DVD-Video folders.
for disc in 1 2; do
    bash "$here/../support/make_dvd.sh" "$work/disc$disc" "$disc"
    (cd "$work/disc$disc/VIDEO_TS" && cat VIDEO_TS.IFO VTS_*_0.IFO) >"$seeds/dvd_ifo/disc$disc"
done

# Saved DVD places and bookmark files, from the program's own writers.
"$make_seeds" "$seeds"
