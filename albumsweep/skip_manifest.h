// The skip manifest: what the host already knows from an earlier scan, read
// from standard input, so that unchanged assets get a short cached record.
//
// Format: empty, or one JSON object {"skip": [{"id": text, "mod": integer,
// "size": integer}, ...]}. Other keys are ignored. When "skip" is not an
// array of objects only, the whole of it is ignored; an entry without all
// three keys of the right types is skipped alone; a later entry for the same
// "id" replaces an earlier one. An integer is a JSON number with a whole
// value in the signed 64-bit range (5 and 5.0 alike; 5.5 or "5" are not).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace albumsweep {

struct SkipManifest {
  std::unordered_map<std::string, std::int64_t> skipMod;   // id -> "mod"
  std::unordered_map<std::string, std::int64_t> skipSize;  // id -> "size"

  // Whether the manifest names `id` with exactly this mod and size.
  bool matches(const std::string& id, std::int64_t mod, std::int64_t size) const;
};

// Never fails: unusable input gives an empty or partial manifest.
SkipManifest readSkipManifest(std::string_view input);

}  // namespace albumsweep
