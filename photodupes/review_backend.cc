#include "photodupes/review_backend.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <unordered_map>

#include "imaging/imaging.h"
#include "jsonlines/text.h"
#include "photodupes/child_process.h"
#include "photodupes/file_state.h"
#include "photodupes/output.h"
#include "photodupes/scan.h"

extern char** environ;

namespace photodupes {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::optional<std::string> jpegFromBase64(const std::string& b64) {
  auto bytes = imaging::fromBase64(b64);
  if (!bytes || bytes->empty()) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

class CatalogBackend : public ReviewBackend {
 public:
  CatalogBackend(std::string file, LibraryContext library, std::string twinspot, std::unique_ptr<TrashEnv> trash)
      : file_(std::move(file)),
        library_(std::move(library)),
        twinspot_(std::move(twinspot)),
        trash_(std::move(trash)),
        watch_(file_) {}

  json groups(std::size_t from, std::size_t count, const std::string& key) override {
    fresh();
    // The files of the page about to be shown are looked at again (a few
    // dozen stats): one changed or gone since the groups were found sends
    // them to be found again, as a scan's change would.
    if (!pageUnchanged(from, count, key)) {
      cache_.reset();
      fresh();
    }
    const std::vector<Group>& gs = cache_->groups;
    std::optional<std::size_t> at;
    if (auto it = cache_->index.find(key); !key.empty() && it != cache_->index.end() && count > 0) {
      at = it->second;
      from = *at / count * count;
    }
    from = std::min(from, gs.size());
    json list = json::array();
    for (std::size_t i = from; i < std::min(gs.size(), from + count); ++i) list.push_back(groupView(gs[i]));
    json body = {{"summary", cache_->summary}, {"total", gs.size()}, {"from", from}, {"groups", std::move(list)}};
    body["at"] = at ? json(*at) : json(nullptr);
    return body;
  }

  std::string version() override {
    const bool current = cache_ && watch_.stamp() == cacheStamp_;
    return std::to_string(generation_) + (current ? "" : "+");
  }

  std::optional<std::string> thumbnail(std::int64_t id) override {
    const Photo p = photo(id, true);
    return jpegFromBase64(p.thumb);
  }

  std::optional<std::string> preview(std::int64_t id, int size) override {
    const Photo p = photo(id, false);
    if (jsonlines::validUtf8(p.path) != p.path) return std::nullopt;  // twinspot takes UTF-8 paths only
    std::optional<std::string> jpeg;
    runJsonChild({twinspot_, "thumb", "--size", std::to_string(size)}, p.path + std::string(1, '\0'), "twinspot",
                 [&](json& r) {
                   if (r.value("ok", false) && r.contains("b64") && r["b64"].is_string())
                     jpeg = jpegFromBase64(r["b64"].get<std::string>());
                   return true;
                 });
    return jpeg;
  }

  json decide(const json& d) override {
    fresh();  // the groups as they are now: a decision on a group a scan changed is refused
    const std::string action = d["action"].get<std::string>();
    const auto found = d.contains("group") && d["group"].is_string()
                           ? cache_->index.find(d["group"].get<std::string>())
                           : cache_->index.end();
    if (found == cache_->index.end()) throw ReviewRefusal{404, "no such group (the groups changed?)"};
    const Group group = cache_->groups[found->second];
    const std::vector<Photo>& photos = cache_->kept.photos;
    const Photo* chosen = nullptr;
    if (d.contains("id"))
      for (const Member& m : group.members)
        if (photos[m.photo].row == d["id"].get<std::int64_t>()) chosen = &photos[m.photo];
    const bool needsPhoto = action != "not_duplicates";
    if (needsPhoto && !chosen) throw ReviewRefusal{404, "no such photo in this group"};
    if (action != "keeper" && action != "keep_only" && action != "keep" && action != "unkeep" &&
        action != "not_duplicates" && action != "not_duplicate")
      throw ReviewRefusal{400, "unknown action"};

    auto catalog = open(Catalog::Access::kWrite);
    const bool current = watch_.stamp() == cacheStamp_;  // nobody wrote since fresh()
    const Decisions before = catalog->decisions();
    Undo undo;
    auto choose = [&](const Photo& p, Choice c) {
      const Choice was = before.choice(p);
      if (was == c) return;
      catalog->setChoice(p, c);
      undo.choices.emplace_back(p, was);
    };
    auto notDuplicates = [&](const Photo& a, const Photo& b) {
      if (before.notDuplicate(a.sha, b.sha)) return;
      catalog->setNotDuplicates(a.sha, b.sha, true);
      undo.pairs.emplace_back(a.sha, b.sha);
    };
    catalog->begin();
    if (action == "keeper" || action == "keep_only") {
      for (const Member& m : group.members)
        if (&photos[m.photo] != chosen && (before.choice(photos[m.photo]) == Choice::kKeeper || action == "keep_only"))
          choose(photos[m.photo], Choice::kNone);
      choose(*chosen, Choice::kKeeper);
    } else if (action == "keep") {
      choose(*chosen, Choice::kKeep);
    } else if (action == "unkeep") {
      choose(*chosen, Choice::kNone);
    } else if (action == "not_duplicates") {
      for (std::size_t i = 0; i < group.members.size(); ++i)
        for (std::size_t j = i + 1; j < group.members.size(); ++j)
          notDuplicates(photos[group.members[i].photo], photos[group.members[j].photo]);
    } else {
      for (const Member& m : group.members)
        if (&photos[m.photo] != chosen) notDuplicates(*chosen, photos[m.photo]);
    }
    catalog->commit();
    if (!undo.choices.empty() || !undo.pairs.empty()) undos_.push_back(std::move(undo));
    decided(*catalog, current);
    return {{"ok", true}};
  }

  json undoDecision() override {
    if (undos_.empty()) throw ReviewRefusal{409, "no decision of this page to take back"};
    fresh();
    auto catalog = open(Catalog::Access::kWrite);
    const bool current = watch_.stamp() == cacheStamp_;
    const Undo& u = undos_.back();
    catalog->begin();
    for (auto it = u.choices.rbegin(); it != u.choices.rend(); ++it) catalog->setChoice(it->first, it->second);
    for (const auto& [a, b] : u.pairs) catalog->setNotDuplicates(a, b, false);
    catalog->commit();
    undos_.pop_back();
    decided(*catalog, current);
    return {{"ok", true}};
  }

  json trash(const std::function<void(std::size_t, std::size_t)>& progress) override {
    cache_.reset();  // found again on the next look, from the catalog as the move left it
    auto catalog = open(Catalog::Access::kWrite);
    const ActOutcome done = moveToTrash(*catalog, library_, *trash_, false, progress);
    if (done.batch) lastBatch_ = done.batch;
    json skipped = json::array();
    for (const FileOutcome& f : done.files)
      if (f.state == "skipped") skipped.push_back(problem(f));
    return {{"batch", done.batch},
            {"moved", done.done},
            {"skipped", std::move(skipped)},
            {"bytes", done.bytes},
            {"bytes_text", humanBytes(done.bytes)}};
  }

  json undoTrash() override {
    cache_.reset();
    auto catalog = open(Catalog::Access::kWrite);
    const ActOutcome done = undoBatch(*catalog, library_, *trash_, lastBatch_);
    json failed = json::array();
    for (const FileOutcome& f : done.files)
      if (f.state != "restored") failed.push_back(problem(f));
    return {{"batch", done.batch}, {"restored", done.done}, {"failed", std::move(failed)}};
  }

 private:
  // What takes a decision back: the choices as they were, the pairs set.
  struct Undo {
    std::vector<std::pair<Photo, Choice>> choices;
    std::vector<std::pair<std::string, std::string>> pairs;
  };

  // The groups between changes of the catalog, in the page's order, and
  // what the page asks of them.
  struct Cache {
    KeptGroups kept;
    std::vector<Group>& groups = kept.groups;
    std::unordered_map<std::string, std::size_t> index;  // group key -> position
    json summary;
  };

  StatFn stat() {
    return [this](const std::string& path) { return trash_->stat(path); };
  }

  // Opens the catalog for one call. The whole file is checked on the first
  // open and again after anyone else changed the catalog; the many opens
  // in between (a thumbnail each) check its header alone.
  std::unique_ptr<Catalog> open(Catalog::Access access) {
    const bool checked = cache_ && watch_.stamp() == cacheStamp_;
    return Catalog::open(file_, "library", library_.root, access, std::chrono::milliseconds(2000),
                         checked ? Catalog::Check::kHeader : Catalog::Check::kFull);
  }

  // Makes the cache current: found again when there is none, or when the
  // catalog changed since (a scan, a move or an undo in another terminal,
  // or decisions stored by `photodupes groups --keep-in`).
  void fresh() {
    if (cache_ && watch_.stamp() == cacheStamp_) return;
    auto catalog = open(Catalog::Access::kRead);
    auto cache = std::make_unique<Cache>();
    cache->kept = keptGroups(*catalog, library_, stat());
    cache_ = std::move(cache);
    indexGroups();
    // Taken while the catalog's lock is held: what it counts beyond this
    // read's own derived rows was committed by someone else afterwards.
    cacheStamp_ = watch_.stamp();
  }

  // After this page's decision or undo was committed (the catalog still
  // open for writing, so no one else has changed it since): the decisions
  // applied to the kept groups. Another change committed before this one
  // (`current` false: the stamp moved before the write) makes them be
  // found again instead, on the next look.
  void decided(Catalog& catalog, bool current) {
    if (!current) cache_.reset();
    if (!cache_) return;
    redecide(cache_->kept, catalog, library_, stat());
    indexGroups();
    cacheStamp_ = watch_.stamp();
  }

  void indexGroups() {
    ++generation_;
    cache_->index.clear();
    for (std::size_t i = 0; i < cache_->groups.size(); ++i) cache_->index.emplace(groupKey(cache_->groups[i]), i);
    const Summary s = summarize(cache_->groups);
    cache_->summary = {{"groups", s.groups},
                       {"not_kept", s.notKept},
                       {"bytes_freed", s.bytesFreed},
                       {"bytes_text", humanBytes(s.bytesFreed)},
                       {"changed", cache_->kept.found.changed}};
  }

  // The members of the groups a page request will show still stand as
  // they stood when the groups were found.
  bool pageUnchanged(std::size_t from, std::size_t count, const std::string& key) {
    if (auto it = cache_->index.find(key); !key.empty() && it != cache_->index.end() && count > 0)
      from = it->second / count * count;
    const std::vector<Photo>& photos = cache_->kept.photos;
    for (std::size_t i = from; i < std::min(cache_->groups.size(), from + count); ++i)
      for (const Member& m : cache_->groups[i].members)
        if (!unchangedSince(photos[m.photo], trash_->stat(photos[m.photo].path))) return false;
    return true;
  }

  json groupView(const Group& g) const {
    const std::vector<Photo>& photos = cache_->kept.photos;
    json members = json::array();
    for (const Member& m : g.members) {
      const Photo& p = photos[m.photo];
      json j = {{"id", p.row},
                {"name", jsonlines::validUtf8(fs::path(p.path).filename().string())},
                {"folder", jsonlines::validUtf8(fs::path(p.path).parent_path().string())},
                {"keep", m.keep},
                {"reason", memberReason(g, m)},
                {"w", p.w},
                {"h", p.h},
                {"bytes", p.bytes},
                {"bytes_text", humanBytes(p.bytes)},
                {"date", captureDate(p.created)}};
      if (!m.exact) j["dist"] = m.dist, j["bits"] = m.bits;
      members.push_back(std::move(j));
    }
    return {{"key", groupKey(g)},
            {"reason", g.near ? "near" : "exact"},
            {"bytes_freed", g.bytesFreed},
            {"bytes_text", humanBytes(g.bytesFreed)},
            {"members", std::move(members)}};
  }

  Photo photo(std::int64_t id, bool withThumb) {
    auto catalog = open(Catalog::Access::kRead);
    auto p = id > 0 ? catalog->photoByRow(id, withThumb) : std::nullopt;
    if (!p) throw ReviewRefusal{404, "no such photo"};
    return *p;
  }

  // A group is named by its smallest photo number: it stays when the
  // keeper changes.
  std::string groupKey(const Group& g) const {
    std::int64_t least = 0;
    for (const Member& m : g.members)
      if (least == 0 || cache_->kept.photos[m.photo].row < least) least = cache_->kept.photos[m.photo].row;
    return "g" + std::to_string(least);
  }

  static json problem(const FileOutcome& f) {
    return {{"name", jsonlines::validUtf8(fs::path(f.path).filename().string())}, {"reason", f.reason}};
  }

  std::string file_;
  LibraryContext library_;
  std::string twinspot_;
  std::unique_ptr<TrashEnv> trash_;
  CatalogWatch watch_;
  std::unique_ptr<Cache> cache_;
  std::string cacheStamp_;       // the watch's stamp the cache is current for
  std::uint64_t generation_ = 0;  // counts the changes of the cache: the page's version
  std::vector<Undo> undos_;
  std::optional<std::int64_t> lastBatch_;
};

}  // namespace

std::unique_ptr<ReviewBackend> catalogReviewBackend(const std::string& catalogFile, const LibraryContext& library,
                                                    const std::string& twinspot, std::unique_ptr<TrashEnv> trash) {
  return std::make_unique<CatalogBackend>(catalogFile, library, twinspot, std::move(trash));
}

int runReview(const std::string& catalogFile, const LibraryContext& library, const std::string& twinspot, int port,
              bool openBrowser, std::FILE* out) {
  // Ctrl-C and SIGTERM are taken by this thread alone (sigtimedwait below);
  // the server's threads, started after this, inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto backend = catalogReviewBackend(catalogFile, library, twinspot, systemTrashEnv());
  // The groups are found before the address is printed, so the page's
  // first request is answered from what the backend keeps.
  backend->groups(0, 0, "");
  ReviewServer server(*backend);
  server.start(port);
  std::fprintf(out, "Review the groups at %s\n(the address works once, within a minute; Ctrl-C or the page's "
                    "Finish button ends photodupes review)\n",
               server.address().c_str());
  std::fflush(out);
  pid_t opener = -1;
  if (openBrowser && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY"))) {
    const std::string address = server.address();
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(address.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawnp(&opener, "xdg-open", &actions, &attr, argv, environ) != 0) {
      opener = -1;
      std::fprintf(out, "(xdg-open could not be started: open the address yourself)\n");
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  const timespec tick{0, 200 * 1000 * 1000};
  while (!server.finished()) {
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
    if (opener > 0 && waitpid(opener, nullptr, WNOHANG) == opener) opener = -1;
  }
  server.stop();
  if (opener > 0) waitpid(opener, nullptr, 0);
  std::fprintf(out, "photodupes review ended.\n");
  return kExitOk;
}

}  // namespace photodupes
