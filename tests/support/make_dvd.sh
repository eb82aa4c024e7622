#!/bin/bash
# Makes a small PAL DVD-Video folder for the tests:  make_dvd.sh OUT_DIR 1|2|3
#
# Disc 1: title 1, 30 s mostly red with AC-3 sound (English), chapters at 0, 10 and 20 s;
# title 2, 12 s mostly blue with MP2 sound (German), chapters at 0 and 6 s; a menu still with
# two buttons (button N plays title N), shown at first play and as both the root and the title
# menu; each title returns to it when it ends. Disc 2: one title of 8 s, mostly green, chapters
# at 0 and 4 s, and the same kind of menu (other content, so another disc id). Disc 3, "play
# all" without menus: the first play jumps to title 1 (6 s, red, chapters at 0 and 2.8 s: the picture group before 3 s), whose
# last commands jump to title 2 of the same title set (8 s, blue, chapters at 0 and 4 s), which
# ends playback; both 16:9, with MP2 sound, every picture carrying its number in the title
# (see numbered).
#
# OUT_DIR/VIDEO_TS holds the volume. The pictures change a little every frame (a moving bar),
# so a decoder has real pictures to show, and a key frame every 10 pictures puts the chapter
# points exactly on picture groups.
set -euo pipefail

out="$1"
disc="${2:-1}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The picture number within the title, drawn as ten boxes across the top eighth of the
# picture (72 x 72 pixels each, bit 0 on the left, white for a bit set) over a black band.
numbered() {
    local f=",drawbox=x=0:y=0:w=720:h=72:c=black:t=fill"
    for bit in 0 1 2 3 4 5 6 7 8 9; do
        f+=",drawbox=x=$((bit * 72)):y=0:w=72:h=72:c=white:t=fill:enable='mod(floor(n/$((1 << bit))),2)'"
    done
    echo "$f"
}

enc() { # enc OUT.mpg COLOUR SECONDS AUDIO_CODEC [ASPECT [NUMBERED]]
    local marks=""
    [ "${6:-}" = numbered ] && marks="$(numbered)"
    ffmpeg -v error -y \
        -f lavfi -i "color=c=$2:size=720x576:rate=25,drawbox=x='mod(t*200,680)':y=500:w=40:h=40:color=white:t=fill$marks" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000" \
        -t "$3" -target pal-dvd -aspect "${5:-4:3}" -g 10 -b:v 1500k -maxrate 4000k -c:a "$4" \
        -b:a 192k -ac 2 "$1"
}

# Makes the volume that $work/dvd.xml describes and moves it to OUT_DIR.
author() {
    VIDEO_FORMAT=PAL dvdauthor -x "$work/dvd.xml" >"$work/dvdauthor.log" 2>&1 ||
        { cat "$work/dvdauthor.log" >&2; exit 1; }
    mkdir -p "$out"
    mv "$work/DVD/VIDEO_TS" "$out/"
}

if [ "$disc" = 3 ]; then
    enc "$work/t1.mpg" red 6 mp2 16:9 numbered
    enc "$work/t2.mpg" blue 8 mp2 16:9 numbered
    cat >"$work/dvd.xml" <<XML
<dvdauthor dest="$work/DVD">
 <vmgm><fpc>jump title 1;</fpc></vmgm>
 <titleset><titles><video aspect="16:9"/>
  <pgc><vob file="$work/t1.mpg" chapters="0,0:03"/><post>jump title 2;</post></pgc>
  <pgc><vob file="$work/t2.mpg" chapters="0,0:04"/><post>exit;</post></pgc>
 </titles></titleset>
</dvdauthor>
XML
    author
    exit 0
fi

# The menu's picture: two boxes where the buttons are; its highlight and selection images
# (at most three colours and transparency, as subpictures need).
convert -size 720x576 xc:gray30 +antialias -fill '#c04040' -draw 'rectangle 100,200 300,300' \
    -fill '#4040c0' -draw 'rectangle 420,200 620,300' "$work/bg.png"
for kind in hl:yellow sel:white; do
    convert -size 720x576 xc:none +antialias -fill none -stroke "${kind#*:}" -strokewidth 6 \
        -draw 'rectangle 96,196 304,304' -draw 'rectangle 416,196 624,304' \
        "PNG8:$work/${kind%%:*}.png"
done
ffmpeg -v error -y -loop 1 -i "$work/bg.png" -f lavfi -i "anullsrc=r=48000:cl=stereo" \
    -t 1 -target pal-dvd -c:a ac3 "$work/menu.mpg"
cat >"$work/spu.xml" <<EOF
<subpictures><stream>
 <spu start="00:00:00.00" force="yes" highlight="$work/hl.png" select="$work/sel.png">
  <button name="b1" x0="96" y0="196" x1="304" y1="304" right="b2"/>
  <button name="b2" x0="416" y0="196" x1="624" y1="304" left="b1"/>
 </spu>
</stream></subpictures>
EOF
spumux -P "$work/spu.xml" <"$work/menu.mpg" >"$work/menu_spu.mpg" 2>"$work/spumux.log"

# Each title has a title set of its own, so each carries only its own sound stream: a player
# keeps the stream number chosen, and the titles of one title set share its stream list. The
# menu belongs to the video manager; each title set's root menu leads to it, and titles return
# to it when they end.
titleset() { # titleset FILE.mpg CHAPTERS LANGUAGE
    echo "<titleset><menus><pgc entry=\"root\"><pre>jump vmgm menu 1;</pre></pgc></menus>"
    echo " <titles><audio lang=\"$3\"/>"
    echo "  <pgc><vob file=\"$1\" chapters=\"$2\"/><post>call vmgm menu 1;</post></pgc>"
    echo " </titles></titleset>"
}
if [ "$disc" = 1 ]; then
    enc "$work/t1.mpg" red 30 ac3
    enc "$work/t2.mpg" blue 12 mp2
    titlesets="$(titleset "$work/t1.mpg" 0,0:10,0:20 en; titleset "$work/t2.mpg" 0,0:06 de)"
    second="jump title 2;"
else
    enc "$work/t1.mpg" green 8 ac3
    titlesets="$(titleset "$work/t1.mpg" 0,0:04 fr)"
    second="jump title 1;"
fi

cat >"$work/dvd.xml" <<XML
<dvdauthor dest="$work/DVD" jumppad="yes">
 <vmgm>
  <fpc>jump vmgm menu 1;</fpc>
  <menus>
   <pgc entry="title">
    <vob file="$work/menu_spu.mpg" pause="inf"/>
    <button name="b1">jump title 1;</button>
    <button name="b2">$second</button>
   </pgc>
  </menus>
 </vmgm>
 $titlesets
</dvdauthor>
XML
author
