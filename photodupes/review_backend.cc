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

#include "imaging/imaging.h"
#include "jsonlines/text.h"
#include "photodupes/child_process.h"
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
      : file_(std::move(file)), library_(std::move(library)), twinspot_(std::move(twinspot)), trash_(std::move(trash)) {}

  json groups() override {
    DecidedGroups found;
    {
      auto catalog = open(Catalog::Access::kRead);
      found = decidedGroups(*catalog, library_, false);
    }
    photos_ = std::move(found.photos);
    groups_ = std::move(found.current.groups);
    json list = json::array();
    for (const Group& g : groups_) {
      json members = json::array();
      for (const Member& m : g.members) {
        const Photo& p = photos_[m.photo];
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
      list.push_back({{"key", groupKey(g)},
                      {"reason", g.near ? "near" : "exact"},
                      {"bytes_freed", g.bytesFreed},
                      {"bytes_text", humanBytes(g.bytesFreed)},
                      {"members", std::move(members)}});
    }
    const Summary s = summarize(groups_);
    return {{"summary",
             {{"groups", s.groups},
              {"not_kept", s.notKept},
              {"bytes_freed", s.bytesFreed},
              {"bytes_text", humanBytes(s.bytesFreed)},
              {"changed", found.current.changed}}},
            {"groups", std::move(list)}};
  }

  std::string version() override {
    std::string v;
    for (const std::string& f : {file_, file_ + "-wal"}) {
      struct stat st {};
      if (::stat(f.c_str(), &st) == 0)
        v += std::to_string(st.st_size) + "." + std::to_string(st.st_mtim.tv_sec) + "." +
             std::to_string(st.st_mtim.tv_nsec) + ";";
      else
        v += "-;";
    }
    return v;
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
    if (groups_.empty()) groups();
    const std::string action = d["action"].get<std::string>();
    const Group* group = nullptr;
    for (const Group& g : groups_)
      if (d.contains("group") && d["group"].is_string() && groupKey(g) == d["group"].get<std::string>()) group = &g;
    if (!group) throw ReviewRefusal{404, "no such group (the groups changed?)"};
    const Photo* chosen = nullptr;
    if (d.contains("id"))
      for (const Member& m : group->members)
        if (photos_[m.photo].row == d["id"].get<std::int64_t>()) chosen = &photos_[m.photo];
    const bool needsPhoto = action != "not_duplicates";
    if (needsPhoto && !chosen) throw ReviewRefusal{404, "no such photo in this group"};

    auto catalog = open(Catalog::Access::kWrite);
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
      for (const Member& m : group->members)
        if (&photos_[m.photo] != chosen &&
            (before.choice(photos_[m.photo]) == Choice::kKeeper || action == "keep_only"))
          choose(photos_[m.photo], Choice::kNone);
      choose(*chosen, Choice::kKeeper);
    } else if (action == "keep") {
      choose(*chosen, Choice::kKeep);
    } else if (action == "unkeep") {
      choose(*chosen, Choice::kNone);
    } else if (action == "not_duplicates") {
      for (std::size_t i = 0; i < group->members.size(); ++i)
        for (std::size_t j = i + 1; j < group->members.size(); ++j)
          notDuplicates(photos_[group->members[i].photo], photos_[group->members[j].photo]);
    } else if (action == "not_duplicate") {
      for (const Member& m : group->members)
        if (&photos_[m.photo] != chosen) notDuplicates(*chosen, photos_[m.photo]);
    } else {
      catalog->commit();
      throw ReviewRefusal{400, "unknown action"};
    }
    catalog->commit();
    if (!undo.choices.empty() || !undo.pairs.empty()) undos_.push_back(std::move(undo));
    return {{"ok", true}};
  }

  json undoDecision() override {
    if (undos_.empty()) throw ReviewRefusal{409, "no decision of this page to take back"};
    auto catalog = open(Catalog::Access::kWrite);
    const Undo& u = undos_.back();
    catalog->begin();
    for (auto it = u.choices.rbegin(); it != u.choices.rend(); ++it) catalog->setChoice(it->first, it->second);
    for (const auto& [a, b] : u.pairs) catalog->setNotDuplicates(a, b, false);
    catalog->commit();
    undos_.pop_back();
    return {{"ok", true}};
  }

  json trash(const std::function<void(std::size_t, std::size_t)>& progress) override {
    auto catalog = open(Catalog::Access::kWrite);
    const ActOutcome done = moveToTrash(*catalog, library_, *trash_, false, progress);
    if (done.batch) lastBatch_ = done.batch;
    groups_.clear();
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
    auto catalog = open(Catalog::Access::kWrite);
    const ActOutcome done = undoBatch(*catalog, library_, *trash_, lastBatch_);
    groups_.clear();
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

  std::unique_ptr<Catalog> open(Catalog::Access access) {
    return Catalog::open(file_, "library", library_.root, access);
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
      if (least == 0 || photos_[m.photo].row < least) least = photos_[m.photo].row;
    return "g" + std::to_string(least);
  }

  static json problem(const FileOutcome& f) {
    return {{"name", jsonlines::validUtf8(fs::path(f.path).filename().string())}, {"reason", f.reason}};
  }

  std::string file_;
  LibraryContext library_;
  std::string twinspot_;
  std::unique_ptr<TrashEnv> trash_;
  std::vector<Photo> photos_;
  std::vector<Group> groups_;
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
