#include "photodupes/decisions.h"

#include <algorithm>
#include <filesystem>

#include "photodupes/catalog.h"
#include "photodupes/grouping.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

// The components of `path` below `base`, or nothing when it is not below
// it (or is it: then the empty list).
std::optional<std::vector<std::string>> componentsBelow(const fs::path& base, const fs::path& path) {
  auto b = base.begin(), p = path.begin();
  for (; b != base.end(); ++b, ++p) {
    if (b->empty()) continue;  // a trailing "/"
    if (p == path.end() || *p != *b) return std::nullopt;
  }
  std::vector<std::string> out;
  for (; p != path.end(); ++p)
    if (!p->empty() && *p != ".") out.push_back(p->string());
  return out;
}

}  // namespace

std::pair<std::string, std::string> shaPair(const std::string& a, const std::string& b) {
  return a < b ? std::pair(a, b) : std::pair(b, a);
}

bool Decisions::notDuplicate(const std::string& shaA, const std::string& shaB) const {
  return !notDuplicates.empty() && notDuplicates.count(shaPair(shaA, shaB)) > 0;
}

Choice Decisions::choice(const Photo& photo) const {
  auto it = choices.find(photo.id);
  if (it == choices.end() || it->second.second != photo.sha) return Choice::kNone;
  return it->second.first;
}

bool Decisions::inReferenceFolder(const std::string& root, const std::string& path) const {
  if (keepIn.empty()) return false;
  auto below = componentsBelow(fs::path(root).lexically_normal(), fs::path(path).lexically_normal());
  if (!below || below->empty()) return false;
  below->pop_back();  // the file's own name
  for (const std::string& folder : keepIn) {
    std::vector<std::string> ref;
    for (const auto& c : fs::path(folder)) ref.push_back(c.string());
    if (ref.size() <= below->size() && std::equal(ref.begin(), ref.end(), below->begin())) return true;
  }
  return false;
}

bool referenceFolder(const std::string& root, const std::string& dir, std::string& relative, std::string& error) {
  std::error_code ec;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) return error = "the library folder " + root + " cannot be resolved: " + ec.message(), false;
  const fs::path realDir = fs::canonical(dir, ec);
  if (ec || !fs::is_directory(realDir, ec))
    return error = "--keep-in " + dir + " is not an existing folder", false;
  auto below = componentsBelow(realRoot, realDir);
  if (!below) return error = "--keep-in " + dir + " is not inside the library " + root, false;
  fs::path rel;
  for (const auto& c : *below) rel /= c;
  relative = rel.string();
  return true;
}

void applyDecisions(std::vector<Group>& groups, const std::vector<Photo>& photos, const Decisions& decisions,
                    const std::string& root) {
  if (decisions.choices.empty() && decisions.keepIn.empty()) return;
  for (Group& g : groups) {
    std::vector<Member>& ms = g.members;
    auto chosen = std::find_if(ms.begin(), ms.end(),
                               [&](const Member& m) { return decisions.choice(photos[m.photo]) == Choice::kKeeper; });
    auto reference = [&](const Member& m) { return decisions.inReferenceFolder(root, photos[m.photo].path); };
    if (chosen == ms.end() && !reference(ms.front()))
      chosen = std::find_if(ms.begin(), ms.end(), [&](const Member& m) {
        return reference(m) && photos[m.photo].sha == photos[ms.front().photo].sha;
      });
    if (chosen != ms.end() && chosen != ms.begin()) {
      const Member now = *chosen;
      const std::string& oldSha = photos[ms.front().photo].sha;
      const std::string& newSha = photos[now.photo].sha;
      ms.front().keep = isRawFile(photos[ms.front().photo].path);
      std::swap(ms.front(), *chosen);
      ms.front().keep = true, ms.front().relatedTo.reset();
      // Copies are copies of the new keeper, or of the old one: those stand
      // at the distance measured between the two keepers.
      for (Member& m : ms) {
        const std::string& sha = photos[m.photo].sha;
        if (sha == newSha)
          m.exact = true, m.dist = 0, m.bits = 0;
        else if (sha == oldSha)
          m.exact = false, m.dist = now.dist, m.bits = now.bits;
      }
    }
    for (Member& m : ms)
      if (decisions.choice(photos[m.photo]) != Choice::kNone || reference(m)) m.keep = true;
    g.bytesFreed = 0;
    for (const Member& m : ms)
      if (!m.keep) g.bytesFreed += photos[m.photo].bytes;
  }
  std::stable_sort(groups.begin(), groups.end(), [&](const Group& a, const Group& b) {
    if (a.bytesFreed != b.bytesFreed) return a.bytesFreed > b.bytesFreed;
    return photos[a.members[0].photo].path < photos[b.members[0].photo].path;
  });
}

}  // namespace photodupes
