#include "albumsweep/skip_manifest.h"

#include <cmath>
#include <optional>

#include <nlohmann/json.hpp>

namespace albumsweep {
namespace {

std::optional<std::int64_t> wholeInt64(const nlohmann::json& v) {
  if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<std::int64_t>();
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (v.is_number_float()) {
    double d = v.get<double>();
    // [-2^63, 2^63) holds exactly the doubles that fit a signed 64-bit integer.
    if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
      return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

}  // namespace

bool SkipManifest::matches(const std::string& id, std::int64_t mod, std::int64_t size) const {
  auto m = skipMod.find(id);
  if (m == skipMod.end() || m->second != mod) return false;
  auto s = skipSize.find(id);
  return s != skipSize.end() && s->second == size;
}

SkipManifest readSkipManifest(std::string_view input) {
  SkipManifest manifest;
  if (input.empty()) return manifest;
  nlohmann::json doc = nlohmann::json::parse(input, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded() || !doc.is_object()) return manifest;
  auto skip = doc.find("skip");
  if (skip == doc.end() || !skip->is_array()) return manifest;
  for (const auto& entry : *skip)
    if (!entry.is_object()) return manifest;

  for (const auto& entry : *skip) {
    auto id = entry.find("id");
    auto mod = entry.find("mod");
    auto size = entry.find("size");
    if (id == entry.end() || mod == entry.end() || size == entry.end() || !id->is_string()) continue;
    std::optional<std::int64_t> m = wholeInt64(*mod), s = wholeInt64(*size);
    if (!m || !s) continue;
    const std::string& key = id->get_ref<const std::string&>();
    manifest.skipMod[key] = *m;
    manifest.skipSize[key] = *s;
  }
  return manifest;
}

}  // namespace albumsweep
