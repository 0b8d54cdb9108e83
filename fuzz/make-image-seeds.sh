#!/usr/bin/env bash
# Writes the small generated seeds of the image harness into
# fuzz/regressions/image/: a tiny picture in every format a library may
# hold, in the variants the decoders treat differently. Run once by hand
# (the output is committed); needs vips, ImageMagick and python3-tifffile.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/regressions/image"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A 16 x 12 picture with some structure (so that hashes and thumbnails differ).
convert -size 16x12 gradient:red-blue -fill yellow -draw 'rectangle 2,2 6,5' -depth 8 "$tmp/base.png"
base="$tmp/base.png"
alpha="$tmp/alpha.png"
convert "$base" -alpha set -channel A -fx 'i<8?0:1' "$alpha"

vips copy "$base" "$out/seed-baseline.jpg[Q=80,strip]"
vips copy "$base" "$out/seed-progressive.jpg[Q=80,interlace,strip]"
convert "$base" -colorspace CMYK -quality 80 "$out/seed-cmyk.jpg"
convert "$base" -colorspace Gray -quality 80 "$out/seed-grey.jpg"
vips copy "$base" "$out/seed-rgb.png"
vips copy "$alpha" "$out/seed-rgba.png"
convert "$base" -type Palette "PNG8:$out/seed-palette.png"
convert "$base" -depth 16 "PNG48:$out/seed-16bit.png"
convert "$base" -interlace PNG "$out/seed-interlaced.png"
vips copy "$base" "$out/seed-lossy.webp[Q=50]"
vips copy "$alpha" "$out/seed-lossless-alpha.webp[lossless]"
convert "$base" "$out/seed.gif"
convert "$base" \( "$base" -negate \) -delay 10 "$out/seed-animated.gif"
vips copy "$base" "$out/seed-rgb.tif"
vips copy "$base" "$out/seed-tiled-deflate.tif[tile,tile-width=16,tile-height=16,compression=deflate]"
convert "$base" \( "$base" -negate \) "$out/seed-two-page.tif"
vips copy "$base" "$out/seed.heic[Q=30]"
vips copy "$base" "$out/seed.avif[Q=30,compression=av1]" 2>/dev/null || echo "no AV1 encoder: no AVIF seed"
convert "$base" "$out/seed.ppm"
vips copy "$base" "$out/seed.hdr" 2>/dev/null || true

/usr/bin/python3 - "$out" <<'PY'
import struct, sys
import numpy as np
import tifffile

out = sys.argv[1]
w, h = 8, 6

def bmp(name, bpp, rows, palette=b"", compression=0, topdown=False, header=40, masks=b""):
    pixels = b"".join(rows) if compression else b"".join(r + b"\0" * (-len(r) % 4) for r in rows)
    info = struct.pack("<IiiHHIIiiII", header, w, -h if topdown else h, 1, bpp, compression, len(pixels),
                       2835, 2835, len(palette) // 4, 0) + masks
    info += b"\0" * (header - len(info))
    offset = 14 + len(info) + len(palette)
    data = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + palette + pixels
    open(f"{out}/{name}", "wb").write(data)

rgb = [bytes((x * 30 % 256, y * 40 % 256, (x + y) * 20 % 256) * 1) for y in range(h) for x in range(w)]
rows24 = [b"".join(rgb[y * w + x] for x in range(w)) for y in range(h)]
bmp("seed-24bit.bmp", 24, rows24)
bmp("seed-24bit-topdown.bmp", 24, rows24, topdown=True)
rows32 = [b"".join(rgb[y * w + x] + bytes((0 if x < w // 2 else 255,)) for x in range(w)) for y in range(h)]
masks = struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)
bmp("seed-32bit-alpha.bmp", 32, rows32, compression=3, header=108, masks=masks)
palette = b"".join(bytes((i * 16, 255 - i * 16, i * 8, 0)) for i in range(16))
rows8 = [bytes((x + y) % 16 for x in range(w)) for y in range(h)]
bmp("seed-8bit-palette.bmp", 8, rows8, palette=palette)
rle = b"".join(bytes((w, (y % 16))) + b"\0\0" for y in range(h)) + b"\0\1"
bmp("seed-8bit-rle.bmp", 8, [rle], palette=palette, compression=1)

# A JPEG whose EXIF block says "rotate 90 CW" (orientation 6).
jpeg = open(f"{out}/seed-baseline.jpg", "rb").read()
tiff = b"MM\0*" + struct.pack(">IHHHIHHI", 8, 1, 0x0112, 3, 1, 6, 0, 0)
app1 = b"Exif\0\0" + tiff
open(f"{out}/seed-orientation6.jpg", "wb").write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:])

# A JPEG whose EXIF capture date lies beyond the year 2261 (once an
# integer overflow in the folder library's header read).
date = b"9999:12:31 23:59:59\0"
ifd0 = struct.pack(">HHHII", 1, 0x8769, 4, 1, 26) + struct.pack(">I", 0)
exif = struct.pack(">HHHII", 1, 0x9003, 2, len(date), 44) + struct.pack(">I", 0) + date
tiff = b"MM\0*" + struct.pack(">I", 8) + ifd0 + exif
app1 = b"Exif\0\0" + tiff
open(f"{out}/regress-exif-year-9999.jpg", "wb").write(jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(app1) + 2) + app1 + jpeg[2:])

# A DNG: a 4 x 3 RGB preview first (as cameras write them), the full
# 16 x 12 colour-filter-array image in a sub-IFD.
preview = np.full((3, 4, 3), 200, np.uint8)
cfa = (np.arange(12 * 16, dtype=np.uint16).reshape(12, 16) * 97) % 4096
with tifffile.TiffWriter(f"{out}/seed.dng") as tif:
    tif.write(preview, photometric="rgb", subfiletype=1, subifds=1,
              extratags=[(50706, "B", 4, (1, 4, 0, 0), True), (50708, "s", 0, "Fuzz Camera", True),
                         (271, "s", 0, "Fuzz", True), (272, "s", 0, "Camera", True)])
    tif.write(cfa, photometric=32803, subfiletype=0,
              extratags=[(33421, "H", 2, (2, 2), True), (33422, "B", 4, (0, 1, 1, 2), True),
                         (50717, "H", 1, 4095, True)])
PY
ls -l "$out"
