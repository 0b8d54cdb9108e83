// Image primitives shared by albumsweep and twinspot: bounded upright
// thumbnails, the 64-bit difference hash, and base64 JPEG text.
//
// Decoding goes through libvips, except for camera raws (LibRaw) and BMP
// (ImageMagick's BMP coder alone), which libvips' loaders do not read here.
// Thumbnails are always rendered from the full image (never an embedded
// preview), shrunk on load where the format allows, and turned upright by
// the file's own orientation. Every function is re-entrant, keeps nothing
// between calls, prints nothing and reports failure by returning nothing.
//
// Each header below offers one part of it; this one includes them all.
#pragma once

#include "imaging/decode.h"
#include "imaging/encode.h"
#include "imaging/hash.h"
#include "imaging/image.h"
#include "imaging/regions.h"
#include "imaging/source.h"
