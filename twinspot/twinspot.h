// twinspot: the difference hash or a small JPEG preview of image files.
//
// The host starts `twinspot [hash|thumb]`, writes file paths to standard
// input separated by zero bytes, closes it, and reads one JSON line per path
// from standard output, in input order:
//   hash:  {"i":0,"ok":true,"hash":"<16 hex digits>","w":4032,"h":3024}
//   thumb: {"i":0,"ok":true,"b64":"<base64 JPEG, longest side <= 256>"}
//          (`twinspot thumb --size N`: longest side <= N, N from 1 to 1600;
//          a size outside that range is ignored)
//   hashthumb: both in one line, {"i":0,"ok":true,"hash":…,"w":…,"h":…,"b64":…},
//          for a host that wants both, from one decode of the file: the
//          preview thumb mode gives, and the difference hash of the
//          256-pixel thumbnail (albumsweep's scan hashes that one too; hash
//          mode's 64-pixel thumbnail can differ from it in a few bits)
//   failure: {"i":0,"ok":false,"err":"open_failed"|"decode_failed"|"encode_failed"}
// The exit status is 0, or 1 when a line could not be written (a full disk,
// a reader that closed its pipe): the run stops there, with no further file
// opened. The command logic lives here, apart from main(), so tests can
// drive it in-process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "jsonlines/emit.h"

namespace twinspot {

enum class Mode { kHash, kThumb, kHashThumb };

// The mode from the arguments after the program name: exactly "thumb"
// selects thumbnails, exactly "hashthumb" both; anything else, or nothing,
// selects hashes. Only the first argument is looked at.
Mode modeFrom(const std::vector<std::string>& args);

inline constexpr int kThumbMaxPixel = 256;
inline constexpr int kLargestThumb = 1600;

// The bound of thumb mode's previews: N after "--size" in the arguments
// that follow the mode, when it is a whole number from 1 to kLargestThumb;
// else kThumbMaxPixel.
int thumbSizeFrom(const std::vector<std::string>& args);

// The record for path number `index` (hash: of the 64-pixel thumbnail;
// thumb: 256-pixel thumbnail as JPEG at quality 0.72; hashthumb: that
// preview, and the hash of the 256-pixel thumbnail). A failure
// of either part fails the whole record, with the code its own mode gives.
jsonlines::Record recordFor(Mode mode, std::int64_t index, const std::string& path,
                            int thumbSize = kThumbMaxPixel);

// The whole command: one record per path written to `out`. Returns the exit
// status: 0, or jsonlines::kExitOutputFailed once a write to `out` failed.
int run(const std::vector<std::string>& args, std::string_view input, std::FILE* out);

}  // namespace twinspot
