// Similarity verification mode: how far each member of a candidate group is
// from the group's first member, by their feature prints.
//
// Standard input is one JSON document, {"groups": [[id, id, ...], ...]}
// (other keys ignored). Members are library identifiers, or file paths when
// "--files" is on the command line; then the library is never asked for
// access. For each group of two or more members, in order, the first member
// is compared with each further member (a star, never member to member):
//   {"a": first, "b": member, "dist": distance}   a distance was computed
//   {"id": x, "ok": false, "err": code}           x's bytes or print failed
//                                                 (once per run), or the
//                                                 distance to x failed
//   {"stop": "deadline"}                          the run deadline passed
//                                                 before a new print; exit 0
//   {"fatal": "bad_input"}                        unusable document; exit 2
// A line that cannot be written (a full disk, a reader gone) ends the run
// there, with nothing more loaded or written; exit 1 (but 2 after an
// unusable document, whether or not its fatal line got out).
// Codes: library "not_found", "in_cloud", "degraded_only", "read_failed",
// "no_data", "no_result"; files "read_failed" (missing, unreadable, empty or
// not a regular file); both "featureprint_failed", "distance_failed".
//
// Each identifier is loaded and printed at most once per run: prints are
// cached and failures remembered, so a failing identifier is reported once
// and then skipped wherever it occurs. The deadline is looked at only before
// a print has to be computed. Library requests never use the network.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "albumsweep/auth.h"
#include "albumsweep/modes.h"
#include "albumsweep/simverify_mode.h"
#include "imaging/imaging.h"
#include "jsonlines/emit.h"

namespace albumsweep {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Groups = std::vector<std::vector<std::string>>;

// The groups of the input document, or nothing when the document is not an
// object whose "groups" is an array of arrays of texts.
std::optional<Groups> parseGroups(const std::string& input) {
  nlohmann::json doc = nlohmann::json::parse(input, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) return std::nullopt;  // also a document that did not parse
  auto groups = doc.find("groups");
  if (groups == doc.end() || !groups->is_array()) return std::nullopt;
  Groups out;
  for (const nlohmann::json& group : *groups) {
    if (!group.is_array()) return std::nullopt;
    std::vector<std::string>& members = out.emplace_back();
    for (const nlohmann::json& member : group) {
      if (!member.is_string()) return std::nullopt;
      members.push_back(member.get<std::string>());
    }
  }
  return out;
}

class Verifier {
 public:
  Verifier(const RunSettings& settings, Services& services, const featureprint::FeaturePrinter& printer, bool files)
      : settings_(settings), services_(services), printer_(printer), files_(files) {}

  // Resolves every distinct library identifier of the groups in one fetch.
  void fetchAssets(const Groups& groups) {
    std::vector<std::string> distinct;
    std::set<std::string> seen;
    for (const auto& group : groups)
      for (const std::string& id : group)
        if (seen.insert(id).second) distinct.push_back(id);
    for (photolibrary::Asset& asset : services_.library->fetchAssetsWithLocalIdentifiers(distinct))
      assetsById_.emplace(asset.localIdentifier, std::move(asset));
  }

  // Compares one group; false when the deadline or a failed write stopped
  // the run.
  bool compareGroup(const std::vector<std::string>& group) {
    if (group.size() < 2) return true;
    const featureprint::FeaturePrint* first = printFor(group[0]);
    if (stopped_) return false;
    if (!first) return true;
    for (size_t k = 1; k < group.size(); ++k) {
      const featureprint::FeaturePrint* other = printFor(group[k]);
      if (stopped_) return false;
      if (!other) continue;
      if (std::optional<float> d = printer_.distance(*first, *other)) {
        emit({{"a", group[0]}, {"b", group[k]}, {"dist", static_cast<double>(*d)}});
      } else {
        emitFailure(group[k], "distance_failed");
      }
      if (stopped_) return false;
    }
    return true;
  }

  bool writeFailed() const { return writeFailed_; }

 private:
  struct Loaded {
    std::optional<Bytes> bytes;
    std::string error;
  };

  // The print of x, from the cache or freshly made; nothing when x failed
  // (reported once) or when the deadline stopped the run (stopped_ set, the
  // stop record written).
  const featureprint::FeaturePrint* printFor(const std::string& x) {
    if (auto cached = printCache_.find(x); cached != printCache_.end()) return &cached->second;
    if (failedIds_.count(x)) return nullptr;
    if (deadlinePassed(settings_, services_.clock->now())) {
      emit({{"stop", "deadline"}});
      stopped_ = true;
      return nullptr;
    }
    Loaded loaded = files_ ? loadFile(x) : loadAsset(x);
    if (!loaded.bytes) return fail(x, loaded.error);
    std::optional<featureprint::FeaturePrint> print = printer_.printFrom(*loaded.bytes);
    if (!print) return fail(x, "featureprint_failed");
    return &printCache_.emplace(x, std::move(*print)).first->second;
  }

  const featureprint::FeaturePrint* fail(const std::string& x, const std::string& code) {
    failedIds_.insert(x);
    emitFailure(x, code);
    return nullptr;
  }

  Loaded loadFile(const std::string& path) {
    // A path with a zero byte in it names no file (open() would see only
    // the text before the zero).
    if (path.find('\0') != std::string::npos) return {std::nullopt, "read_failed"};
    std::optional<Bytes> bytes = imaging::readRegularFile(path);
    if (!bytes || bytes->empty()) return {std::nullopt, "read_failed"};
    return {std::move(bytes), ""};
  }

  Loaded loadAsset(const std::string& id) {
    auto found = assetsById_.find(id);
    if (found == assetsById_.end()) return {std::nullopt, "not_found"};
    photolibrary::ImageRequestOptions options;
    options.networkAccessAllowed = false;
    Loaded result{std::nullopt, "no_result"};
    services_.library->requestImageData(
        found->second, options, [&](const Bytes* data, const photolibrary::ImageResultInfo* info) {
          if (info) {
            if (info->inCloud) return void(result.error = "in_cloud");
            if (info->degraded) return void(result.error = "degraded_only");
            if (info->hasError) return void(result.error = "read_failed");
          }
          if (!data || data->empty()) return void(result.error = "no_data");
          result = {*data, ""};
        });
    return result;
  }

  // A failed write stops the run like the deadline does, without a line.
  void emit(const jsonlines::Record& record) {
    if (writeFailed_ || jsonlines::emit(record, services_.out)) return;
    writeFailed_ = true;
    stopped_ = true;
  }
  void emitFailure(const std::string& id, const std::string& code) {
    emit({{"id", id}, {"ok", false}, {"err", code}});
  }

  const RunSettings& settings_;
  Services& services_;
  const featureprint::FeaturePrinter& printer_;
  const bool files_;
  std::map<std::string, photolibrary::Asset> assetsById_;
  std::map<std::string, featureprint::FeaturePrint> printCache_;
  std::set<std::string> failedIds_;
  bool stopped_ = false;
  bool writeFailed_ = false;
};

}  // namespace

int runSimverifyMode(const RunSettings& settings, Services& services, const featureprint::FeaturePrinter& printer) {
  const bool files = filesGiven(settings);
  if (!files) {
    if (std::optional<int> refused = ensureAuth(services)) return *refused;
  }

  std::optional<Groups> groups = parseGroups(services.input);
  if (!groups) {
    // Status 2 says the input was unusable, whether or not the line got out.
    jsonlines::emit({{"fatal", "bad_input"}}, services.out);
    return 2;
  }
  if (groups->empty()) return 0;

  Verifier verifier(settings, services, printer, files);
  if (!files) verifier.fetchAssets(*groups);
  for (const auto& group : *groups)
    if (!verifier.compareGroup(group)) return verifier.writeFailed() ? jsonlines::kExitOutputFailed : 0;
  return 0;
}

int runSimverifyMode(const RunSettings& settings, Services& services) {
  return runSimverifyMode(settings, services, featureprint::defaultFeaturePrinter());
}

}  // namespace albumsweep
