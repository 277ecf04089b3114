#!/usr/bin/env bash
# Draws the setup's icon and writes it as one .ico file with the images of 16,
# 20, 24, 32, 40, 48, 64 and 256 pixels (the window takes its small icon at
# every scaled size from it). The build calls it; the drawing below is the
# icon's only source.
#
#   bash res/orv_setup_icon.sh OUT.ico WORKDIR [CONVERT]
#
# The design, in a 256-unit square: a blue rounded tile, a white ring open at
# the top right whose end carries an arrowhead (a copy going round and coming
# back), and a white dot in its middle. Each size is drawn from the shapes
# themselves, not shrunk from the large image; the small ones get a thicker
# ring and no shine so that the shape still reads at 16 pixels.
set -euo pipefail
out=$1
work=$2
convert=${3:-convert}
mkdir -p "$work"

# The ring as a filled polygon: the outer edge from 330 degrees clockwise (in
# screen angles, y pointing down) to 225 degrees, then the inner edge back.
ring_polygon() { # $1 = ring width
    awk -v w="$1" 'BEGIN {
        pi = atan2(0, -1); r1 = 72 + w / 2; r2 = 72 - w / 2
        for (a = -30; a <= 225; a += 5) { t = a * pi / 180; printf "%.1f,%.1f ", 128 + r1 * cos(t), 128 + r1 * sin(t) }
        for (a = 225; a >= -30; a -= 5) { t = a * pi / 180; printf "%.1f,%.1f ", 128 + r2 * cos(t), 128 + r2 * sin(t) }
    }'
}

# The arrowhead at the ring's end (225 degrees), pointing along the ring.
arrow_polygon() { # $1 = ring width
    awk -v w="$1" 'BEGIN {
        pi = atan2(0, -1); t = 225 * pi / 180
        ex = 128 + 72 * cos(t); ey = 128 + 72 * sin(t)
        tx = -sin(t); ty = cos(t); nx = cos(t); ny = sin(t)
        h = w * 1.25; l = w * 1.5
        printf "%.1f,%.1f %.1f,%.1f %.1f,%.1f", ex + l * tx, ey + l * ty, ex + h * nx, ey + h * ny, ex - h * nx, ey - h * ny
    }'
}

images=()
for size in 256 64 48 40 32 24 20 16; do
    if [ "$size" -le 24 ]; then
        ring=38 dot=24 shine=none
    elif [ "$size" -le 40 ]; then
        ring=34 dot=24 shine='#ffffff30'
    else
        ring=28 dot=22 shine='#ffffff30'
    fi
    f=$(awk -v s="$size" 'BEGIN { printf "%.6f", s / 256 }')
    png="$work/icon-$size.png"
    "$convert" -size "${size}x${size}" xc:none \
        -draw "scale $f,$f fill '#1d6fb8' stroke '#0f4a80' stroke-width 10 roundrectangle 8,8 248,248 52,52" \
        -draw "scale $f,$f fill '$shine' stroke none roundrectangle 18,18 238,118 44,44" \
        -draw "scale $f,$f fill white stroke none polygon $(ring_polygon $ring)" \
        -draw "scale $f,$f fill white stroke none polygon $(arrow_polygon $ring)" \
        -draw "scale $f,$f fill white stroke none circle 128,128 128,$((128 - dot))" \
        "png32:$png"
    images+=("$png")
done
"$convert" "${images[@]}" "$out.tmp.ico"
mv "$out.tmp.ico" "$out"
