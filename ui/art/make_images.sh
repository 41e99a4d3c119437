#!/usr/bin/env bash
# Draws the window's five images with ImageMagick and writes them into
# ui/res/. The output is committed, so a build never needs this script;
# run it again only after changing a picture here.
# Usage: ui/art/make_images.sh   (needs ImageMagick's convert and DejaVu fonts)
set -euo pipefail
cd "$(dirname "$0")/../res"

fonts=/usr/share/fonts/truetype/dejavu
sans=$fonts/DejaVuSans.ttf
bold=$fonts/DejaVuSans-Bold.ttf
cond=$fonts/DejaVuSansCondensed-Bold.ttf
serif=$fonts/DejaVuSerif-Bold.ttf
for f in "$sans" "$bold" "$cond" "$serif"; do
  [ -f "$f" ] || { echo "make_images: missing font $f (apt-get install fonts-dejavu-core fonts-dejavu-extra)" >&2; exit 1; }
done
convert -version | grep -q ImageMagick || { echo "make_images: convert is not ImageMagick" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Floodlight tower: a mast with a lamp head and a soft glow around it.
# Arguments: image, x of the mast, top of the lamp head, foot of the mast, lamp scale.
floodlight() {
  local img=$1 x=$2 top=$3 foot=$4 s=$5
  local hw=$((9 * s)) hh=$((5 * s))
  convert "$img" \
    \( -size "$(convert "$img" -format '%wx%h' info:)" xc:none -fill 'rgba(255,250,215,0.55)' \
       -draw "circle $x,$((top + hh / 2)) $((x + hw * 2)),$((top + hh / 2))" -blur 0x$((6 * s)) \) \
    -composite \
    -stroke '#2b3340' -strokewidth "$s" -draw "line $x,$((top + hh)) $x,$foot" \
    -stroke none -fill '#39424f' -draw "rectangle $((x - hw - 1)),$((top - 1)) $((x + hw + 1)),$((top + hh + 1))" \
    -fill '#fffbe6' -draw "rectangle $((x - hw)),$top $((x + hw)),$((top + hh))" \
    "$img"
}

# draws LIST: "-draw ITEM" for each ITEM of a ';'-separated LIST.
draws() {
  local item
  local -a items
  IFS=';' read -ra items <<<"$1"
  for item in "${items[@]}"; do printf '%s\0' -draw "$item"; done
}

# pitch IMAGE WxH Y LIGHT STRIPES CORNERS WIDTH LINES: a green pitch of WxH
# with lighter (LIGHT) STRIPES, seen in perspective (CORNERS: where its four
# corners go), laid onto IMAGE from row Y, and its white LINES drawn WIDTH
# pixels wide; STRIPES and LINES are ';'-separated draw commands.
pitch() {
  local img=$1 size=$2 y=$3 light=$4 stripes=$5 corners=$6 width=$7 lines=$8
  local -a stripe_draws line_draws
  mapfile -d '' stripe_draws < <(draws "$stripes")
  mapfile -d '' line_draws < <(draws "$lines")
  convert -size "$size" xc:'#1f7a2c' -fill "$light" "${stripe_draws[@]}" "$tmp/pitch.png"
  convert "$tmp/pitch.png" -virtual-pixel transparent -matte -distort Perspective "$corners" "$tmp/pitch.png"
  convert "$img" "$tmp/pitch.png" -geometry "+0+$y" -composite \
    -stroke white -strokewidth "$width" -fill none "${line_draws[@]}" "$img"
}

# crowd IMAGE WxH SEED Y: coloured speckles over a band of IMAGE from row Y,
# lighter towards the front; a fixed seed keeps the output the same.
crowd() {
  local img=$1 size=$2 seed=$3 y=$4
  convert -size "$size" xc:'#5a5048' -seed "$seed" +noise Random -modulate 65,130 \
    \( -size "$size" gradient:'#777777'-'#bbbbbb' \) -compose Multiply -composite "$tmp/crowd.png"
  convert "$img" \( "$tmp/crowd.png" -alpha set -channel A -evaluate set 35% +channel \) \
    -geometry +0+"$y" -compose Over -composite "$img"
}

# --- Background artwork, 640 x 480: night sky over a lit stadium, title at the
# bottom. The window shows rows 0..425; the pitch runs on below the edge.
convert -size 640x300 gradient:'#050b24'-'#173a78' "$tmp/sky.png"
convert -size 640x180 gradient:'#1d4f9a'-'#0b2350' "$tmp/low.png"
convert "$tmp/sky.png" "$tmp/low.png" -append "$tmp/bg.png"
# A few stars, from a fixed seed so the output is the same on every run.
convert "$tmp/bg.png" -seed 2004 \
  \( -size 640x230 xc:black +noise Random -channel G -separate +channel -threshold 99.82% \
     -morphology Dilate Disk:0.6 -blur 0x0.5 -background black -extent 640x480 \) \
  -compose Screen -composite "$tmp/bg.png"
# Stands: two dark tiers in perspective across the lower half.
convert "$tmp/bg.png" \
  -fill '#0e1a30' -draw "polygon 0,250 640,250 640,480 0,480" \
  -fill '#16264a' -draw "polygon 0,262 640,262 640,300 0,300" \
  -fill '#1c3160' -draw "polygon 0,300 640,300 640,330 0,330" \
  -fill '#0a1426' -draw "rectangle 0,330 640,336" \
  "$tmp/bg.png"
# Crowd: coloured speckles on both tiers, darker towards the back.
crowd "$tmp/bg.png" 640x66 7 264
# Pitch: green stripes in perspective with its white lines.
pitch "$tmp/bg.png" 640x144 336 '#25902f' "rectangle 0,0 640,18;rectangle 0,40 640,62;rectangle 0,88 640,114" \
  '0,0 120,0  640,0 520,0  0,144 -240,144  640,144 880,144' 2 \
  "line 120,337 520,337;line 320,337 320,480;ellipse 320,372 70,20 0,360"
floodlight "$tmp/bg.png" 40 150 262 2
floodlight "$tmp/bg.png" 600 150 262 2
floodlight "$tmp/bg.png" 215 206 262 1
floodlight "$tmp/bg.png" 425 206 262 1
# Title plate: the product name with a shadow, and what it does.
convert "$tmp/bg.png" \
  -fill 'rgba(6,16,36,0.82)' -draw "roundrectangle 110,346 530,416 12,12" \
  -font "$serif" -pointsize 40 -gravity North \
  -fill 'rgba(0,0,0,0.7)' -annotate +3+350 'TESSOLO' \
  -fill '#ffd34d' -annotate +0+347 'TESSOLO' \
  -font "$bold" -pointsize 16 -fill white -annotate +0+394 'FIFA2004  STADIUM INSTALLER' \
  -gravity NorthWest -type TrueColor BMP3:background.bmp

# --- Info panel, 292 x 123 (289 x 121 seen): how to use the tool.
convert -size 292x123 gradient:'#fbfbf4'-'#e4ead8' \
  -fill '#1f7a2c' -draw "rectangle 0,0 292,22" \
  -font "$bold" -pointsize 12 -fill white -annotate +8+16 'How to install a stadium' \
  -font "$sans" -pointsize 11 -fill '#1b2230' \
  -annotate +8+38 '1. Copy the stadium files (*.o, *.h) into' \
  -annotate +22+51 "the game's data folder." \
  -annotate +8+66 '2. Choose start. The rest is automatic.' \
  -annotate +8+81 "3. The imported files replace the game's own." \
  -font "$cond" -pointsize 10 -fill '#1b2230' \
  -annotate +8+97 'To undo: run restore-original-archives.cmd in data.' \
  -fill '#5b6472' -annotate +8+113 'click this panel to close it' \
  -stroke '#1f7a2c' -fill none -draw "rectangle 0,0 288,120" \
  -type TrueColor BMP3:info.bmp

# --- About panel, 292 x 123 (273 x 105 seen): the credits. The line with the
# version, below the name, is drawn by the window from the version the build
# was given.
convert -size 292x123 gradient:'#0b2350'-'#173a78' \
  -font "$serif" -pointsize 20 -fill '#ffd34d' -annotate +10+28 'Tessolo FIFA2004' \
  -font "$sans" -pointsize 10 -fill '#d6e0f5' \
  -annotate +10+66 'Free software: use, copy and share it freely.' \
  -annotate +10+80 'Packs stadium files into the game archives' \
  -annotate +10+93 'zdata_05.big and zdata_06.big.' \
  -stroke '#ffd34d' -fill none -draw "rectangle 0,0 272,104" \
  -type TrueColor BMP3:about.bmp

# --- Progress picture, 435 x 108, 24-bit: a stadium by floodlight, uncovered
# from the left as the bar grows.
convert -size 435x40 gradient:'#0a1840'-'#2a5aa8' "$tmp/psky.png"
convert -size 435x68 xc:'#111c33' "$tmp/pbase.png"
convert "$tmp/psky.png" "$tmp/pbase.png" -append \
  -fill '#1a2a4e' -draw "polygon 0,40 435,40 435,60 0,60" \
  -fill '#23396a' -draw "polygon 0,44 435,44 435,56 0,56" \
  "$tmp/prog.png"
crowd "$tmp/prog.png" 435x18 11 41
pitch "$tmp/prog.png" 435x48 60 '#27952f' "rectangle 0,0 435,8;rectangle 0,18 435,28;rectangle 0,38 435,48" \
  '0,0 60,0  435,0 375,0  0,48 -120,48  435,48 555,48' 1 \
  "line 60,61 375,61;line 217,61 217,108;ellipse 217,80 34,9 0,360;line 40,75 10,108;line 395,75 425,108"
floodlight "$tmp/prog.png" 18 6 44 1
floodlight "$tmp/prog.png" 417 6 44 1
floodlight "$tmp/prog.png" 150 16 44 1
floodlight "$tmp/prog.png" 285 16 44 1
convert "$tmp/prog.png" -type TrueColor BMP3:progress.bmp

# --- Icon, 32 x 32, 256 colours: a football in front of a green pitch disc.
convert -size 32x32 xc:none \
  -fill '#1f7a2c' -stroke '#0d3d15' -strokewidth 1 -draw "circle 15.5,15.5 15.5,0.5" \
  -fill '#27952f' -stroke none -draw "rectangle 2,12 30,19" \
  -fill white -stroke '#1b1b1b' -strokewidth 1 -draw "circle 15.5,15.5 15.5,6" \
  -fill '#1b1b1b' -stroke none \
  -draw "polygon 15.5,11.5 19,14 17.7,18 13.3,18 12,14" \
  -draw "polygon 15.5,6.2 18,6.7 15.5,8.4 13,6.7" \
  -draw "polygon 24.6,13.3 24.8,16.5 23,15.2 23.5,12.5" \
  -draw "polygon 6.4,13.3 7.5,12.5 8,15.2 6.2,16.5" \
  -draw "polygon 10,23 12.5,22.7 12.2,24.8" \
  -draw "polygon 21,23 18.5,22.7 18.8,24.8" \
  "$tmp/icon.png"
convert "$tmp/icon.png" -colors 256 -type PaletteAlpha BMP3:"$tmp/icon.bmp"
convert "$tmp/icon.png" -colors 256 tessolo.ico
