#!/bin/sh
# Renders the two icon groups of the DLL from their SVG sources:
#   device-type.ico        (icon group 101)  from device-type{,-32,-16}.svg
#   hardware-identity.ico  (icon group 102)  from hardware-identity{,-32,-16}.svg
# plus a 128x128 PNG preview of each for the README.
#
# Usage: sh resources/icons/render-icons.sh   (from anywhere; writes next to itself)
#
# The outputs are committed, so a normal build never runs this; run it after
# editing an SVG and commit the results.  Needs the Debian packages
# librsvg2-bin (rsvg-convert), imagemagick (convert) and icoutils (icotool).
#
# Each .ico holds seven images, in this order: 48, 32 and 16 px at 8 bits per
# pixel (256-colour palette, for old shells and remote sessions with reduced
# colour), then 256 px as embedded PNG and 48, 32 and 16 px at 32 bits per
# pixel with alpha.  The 256 and 48 px images come from the detailed drawing;
# 32 and 16 px have their own pixel-aligned drawings because the detailed one
# turns to mush at those sizes.
set -eu

missing=
for tool in rsvg-convert:librsvg2-bin convert:imagemagick icotool:icoutils; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || missing="$missing ${tool#*:}"
done
if [ -n "$missing" ]; then
    echo "render-icons.sh: missing tools; install:$missing" >&2
    exit 1
fi

cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

for name in device-type hardware-identity; do
    rsvg-convert -w 256 -h 256 "$name.svg" -o "$tmp/256.png"
    rsvg-convert -w 48 -h 48 "$name.svg" -o "$tmp/48.png"
    rsvg-convert -w 32 -h 32 "$name-32.svg" -o "$tmp/32.png"
    rsvg-convert -w 16 -h 16 "$name-16.svg" -o "$tmp/16.png"
    for size in 48 32 16; do
        # No dithering: at these sizes it only adds speckles.  Dropping the
        # date chunks keeps the output byte-identical from run to run.
        convert "$tmp/$size.png" +dither -colors 256 \
            -define png:exclude-chunks=date,time "PNG8:$tmp/$size-8.png"
    done
    icotool -c -o "$name.ico" "$tmp/48-8.png" "$tmp/32-8.png" "$tmp/16-8.png" \
        -r "$tmp/256.png" "$tmp/48.png" "$tmp/32.png" "$tmp/16.png"
    rsvg-convert -w 128 -h 128 "$name.svg" -o "$name.png"
    icotool -l "$name.ico"
done
