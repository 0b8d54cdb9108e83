// Moving to the Trash and back on a fake file system; the system's Trash on
// a real one.
#include "photodupes/act.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "photodupes/review_backend.h"
#include "photodupes/trash.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

struct Killed {};  // the process ends here

// Files by path: their stat and content. Renames keep the inode and bump
// the change time, as the kernel does.
class FakeEnv : public TrashEnv {
 public:
  struct File {
    FileStat st;
    std::string sha;
  };
  std::map<std::string, File> files;
  std::set<std::string> infos, unreadable;
  std::map<std::string, int> movedIn;  // moves into the Trash, by path
  int killAtMove = -1;                 // the move that never happens: the process is killed first
  bool flushFails = false;             // the .trashinfo files cannot be written to disk
  std::int64_t clock = 100;
  int looks = 0;  // stat calls

  void add(const std::string& path, const std::string& sha, std::uint64_t ino) {
    files[path] = {FileStat{1, ino, 1000, 5, 6}, sha};
  }
  std::optional<FileStat> stat(const std::string& path) override {
    ++looks;
    auto it = files.find(path);
    return it == files.end() ? std::nullopt : std::optional(it->second.st);
  }
  std::optional<std::string> sha256(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end() || unreadable.count(path)) return std::nullopt;
    return it->second.sha;
  }
  std::vector<std::string> namesBeside(const std::string& path) override {
    std::vector<std::string> out;
    const auto dir = fs::path(path).parent_path();
    for (const auto& [p, f] : files)
      if (fs::path(p).parent_path() == dir) out.push_back(fs::path(p).filename().string());
    return out;
  }
  std::optional<TrashPlace> reserve(const std::string& path, std::uint64_t, std::string&) override {
    const std::string name = fs::path(path).filename().string();
    for (int n = 1;; ++n) {
      TrashPlace p{"/trash/files/" + name + "." + std::to_string(n), "/trash/info/" + name + "." + std::to_string(n)};
      if (infos.insert(p.info).second) return p;
    }
  }
  bool flush(std::string& error) override { return flushFails ? (error = "disk full", false) : true; }
  bool rename(const std::string& from, const std::string& to, std::string& error) {
    if (files.count(to)) return error = "something else stands at " + to + " now", false;
    File f = files.at(from);
    f.st.ctimeNs = ++clock;
    files.erase(from);
    files[to] = f;
    return true;
  }
  bool moveIn(const std::string&, const std::string& path, const FileStat& expected, const TrashPlace& place,
              std::string& error) override {
    if (killAtMove-- == 0) throw Killed{};
    if (stat(path) != expected) return error = "it changed just before the move", false;
    ++movedIn[path];
    return rename(path, place.file, error);
  }
  bool moveOut(const std::string&, const TrashPlace& place, const std::string& path, std::string& error) override {
    return rename(place.file, path, error);
  }
  void release(const TrashPlace& place) override { infos.erase(place.info); }
};

// A catalog of byte-identical pairs /lib/gN/keep.jpg and /lib/gN/copy.jpg,
// each pair also in the fake file system.
class TrashActions : public ::testing::Test {
 protected:
  void SetUp() override {
    auto c = open();
    c->begin();
    for (int g = 0; g < 3; ++g)
      for (int k = 0; k < 2; ++k) {
        Photo p;
        p.id = p.path = "/lib/g" + std::to_string(g) + (k == 0 ? "/keep.jpg" : "/copy.jpg");
        p.sha = "sha" + std::to_string(g);
        p.dhash = std::vector<std::uint64_t>{0, 0xffffffff00000000ull, 0xffffffffull}[g];  // far apart
        p.w = k == 0 ? 400 : 300;  // the keeper has more pixels (a re-encode at a smaller size would not be a copy,
        p.h = 300;                 // but the grouping sees only the shared SHA-256)
        p.bytes = 1000;
        p.state = "local";
        p.stat = FileStat{1, static_cast<std::uint64_t>(10 * g + k + 1), 1000, 5, 6};
        c->putPhoto(p, 1);
        env.add(p.path, p.sha, p.stat->ino);
      }
    c->commit();
  }
  std::unique_ptr<Catalog> open() { return Catalog::open(dir.path() + "/cat.db", "library", "/lib", Catalog::Access::kWrite); }
  std::vector<std::string> keepersNow(Catalog& c) {
    std::vector<std::string> out;
    auto d = decidedGroups(c, library, false, [&](const std::string& path) { return env.stat(path); });
    for (const Group& g : d.current.groups) out.push_back(d.photos[g.members[0].photo].path);
    return out;
  }
  static std::set<std::string> states(const ActOutcome& o, const std::string& state) {
    std::set<std::string> out;
    for (const FileOutcome& f : o.files)
      if (f.state == state) out.insert(f.path);
    return out;
  }

  testsupport::TempDir dir;
  FakeEnv env;
  LibraryContext library{"/lib", "/nonexistent/albumsweep"};
};

TEST_F(TrashActions, AKeeperGoneOrUnreadableMovesNothingOfItsGroup) {
  env.files.erase("/lib/g0/keep.jpg");      // deleted behind the page's back
  env.unreadable.insert("/lib/g1/keep.jpg");  // present, unchanged, but no longer readable
  auto c = open();
  const ActOutcome dry = moveToTrash(*c, library, env, true);
  EXPECT_EQ(states(dry, "would move"), (std::set<std::string>{"/lib/g2/copy.jpg"}));
  EXPECT_TRUE(env.movedIn.empty());

  const ActOutcome o = moveToTrash(*c, library, env, false);
  EXPECT_EQ(states(o, "moved"), (std::set<std::string>{"/lib/g2/copy.jpg"}));
  EXPECT_EQ(states(o, "skipped"), (std::set<std::string>{"/lib/g1/copy.jpg"}));
  EXPECT_TRUE(env.files.count("/lib/g0/copy.jpg"));
  EXPECT_TRUE(env.files.count("/lib/g1/copy.jpg"));
  EXPECT_EQ(env.movedIn.size(), 1u);
  EXPECT_TRUE(env.files.count("/trash/files/copy.jpg.1"));
}

TEST_F(TrashActions, ARunKilledBetweenTwoMovesIsUndoneWholeAndNothingMovesTwice) {
  env.killAtMove = 1;  // the first file moved, the second planned, then killed
  {
    auto c = open();
    EXPECT_THROW(moveToTrash(*c, library, env, false), Killed);
  }
  EXPECT_EQ(env.movedIn.size(), 1u);
  // Moved files leave the groups at once.
  EXPECT_EQ(keepersNow(*open()).size(), 2u);
  {
    auto c = open();
    const ActOutcome again = moveToTrash(*c, library, env, false);
    EXPECT_EQ(again.done, 2u);  // the two left, not the one moved before
    for (const auto& [path, times] : env.movedIn) EXPECT_EQ(times, 1) << path;
    EXPECT_TRUE(keepersNow(*c).empty());
    EXPECT_EQ(env.infos.size(), 3u);  // the planned one's .trashinfo given back
  }
  auto c = open();
  for (int b = 0; b < 2; ++b) undoBatch(*c, library, env, std::nullopt);
  for (int g = 0; g < 3; ++g) EXPECT_TRUE(env.files.count("/lib/g" + std::to_string(g) + "/copy.jpg")) << g;
  EXPECT_TRUE(env.infos.empty());
  EXPECT_EQ(env.files.size(), 6u);
  // Restored untouched, the photos are back in the groups without a scan.
  EXPECT_EQ(keepersNow(*c).size(), 3u);
}

TEST_F(TrashActions, NothingMovesWhenTheTrashInfoFilesCannotBeWrittenOut) {
  env.flushFails = true;
  auto c = open();
  const ActOutcome o = moveToTrash(*c, library, env, false);
  EXPECT_EQ(o.done, 0u);
  EXPECT_EQ(o.skipped, 3u);
  EXPECT_TRUE(env.movedIn.empty());
  EXPECT_TRUE(env.infos.empty());  // the places reserved are given back
  EXPECT_TRUE(c->inTrash().empty());
}

TEST_F(TrashActions, UndoRefusesToOverwriteOrToPutBackAnotherFile) {
  auto c = open();
  ASSERT_EQ(moveToTrash(*c, library, env, false).done, 3u);
  env.add("/lib/g0/copy.jpg", "new", 99);  // something new stands there
  env.files["/trash/files/copy.jpg.2"].st.mtimeNs = 9;  // the file in the Trash was changed
  env.files.erase("/trash/files/copy.jpg.3");           // the Trash was emptied of it
  const ActOutcome o = undoBatch(*c, library, env, std::nullopt);
  EXPECT_EQ(o.done, 0u);
  EXPECT_EQ(states(o, "refused"), (std::set<std::string>{"/lib/g0/copy.jpg", "/lib/g1/copy.jpg"}));
  EXPECT_EQ(states(o, "emptied"), (std::set<std::string>{"/lib/g2/copy.jpg"}));
  EXPECT_EQ(env.files.at("/lib/g0/copy.jpg").sha, "new");
  EXPECT_TRUE(env.files.count("/trash/files/copy.jpg.1"));
}

// The review page's backend finds the groups once and keeps them: its own
// decisions change them without a look at any file and give what a fresh
// computation gives; a change committed by another process is seen without
// asking for the groups, and has them found again; so does a file of the
// page being served that changed behind the page's back.
TEST_F(TrashActions, TheReviewPageKeepsItsGroupsUntilTheCatalogChanges) {
  auto owned = std::make_unique<FakeEnv>(env);
  FakeEnv& files = *owned;
  auto backend = catalogReviewBackend(dir.path() + "/cat.db", library, "/nonexistent/twinspot", std::move(owned));
  auto fresh = [&] { return keepersNow(*open()); };  // what `groups` finds now
  auto keepers = [&] {
    std::vector<std::string> out;
    const auto page = backend->groups(0, 10, "");
    for (const auto& g : page["groups"])
      out.push_back(g["members"][0]["folder"].get<std::string>() + "/" + g["members"][0]["name"].get<std::string>());
    return out;
  };
  const auto first = backend->groups(0, 10, "");
  ASSERT_EQ(first["total"], 3);
  const std::string before = backend->version();

  files.looks = 0;
  const auto& g = first["groups"][1];
  backend->decide({{"action", "keeper"}, {"group", g["key"]}, {"id", g["members"][1]["id"]}});
  backend->decide({{"action", "not_duplicates"}, {"group", first["groups"][2]["key"]}});
  EXPECT_EQ(files.looks, 0);
  EXPECT_NE(backend->version(), before);
  const auto moved = backend->groups(0, 1, g["key"]);  // the group, wherever the decision put it
  EXPECT_EQ(moved["groups"][0]["members"][0]["id"], g["members"][1]["id"]);
  EXPECT_EQ(moved["at"], moved["from"]);
  ASSERT_EQ(keepers().size(), 2u);
  EXPECT_EQ(keepers(), fresh());
  backend->undoDecision();
  ASSERT_EQ(keepers().size(), 3u);
  EXPECT_EQ(keepers(), fresh());

  const std::string seen = backend->version();
  EXPECT_EQ(backend->version(), seen);
  open()->setNotDuplicates("sha0", "sha0", true);  // another process: its copies are not duplicates
  EXPECT_NE(backend->version(), seen);
  EXPECT_EQ(keepers().size(), 2u);
  EXPECT_EQ(keepers(), fresh());

  files.files.erase(keepers()[0]);  // deleted behind the page's back, no scan since
  EXPECT_EQ(backend->groups(0, 10, "")["total"], 1);
}

// The system's Trash in a home of its own: where files go, what their
// .trashinfo says, and that file managers' tools agree.
TEST(SystemTrash, PutsFilesInTheHomeTrashWithTheirInfoAndBack) {
  testsupport::TempDir dir;
  const std::string data = dir.path() + "/data", root = dir.path() + "/lib";
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  fs::create_directories(root + "/a b");
  const std::string path = root + "/a b/x%\xff.jpg";
  std::ofstream(path) << "bytes";
  auto env = systemTrashEnv();
  const auto st = env->stat(path);
  ASSERT_TRUE(st);
  std::string error;
  auto place = env->reserve(path, st->dev, error);
  ASSERT_TRUE(place) << error;
  EXPECT_EQ(place->file, data + "/Trash/files/x%\xff.jpg");
  auto second = env->reserve(path, st->dev, error);  // the name is taken: another one
  ASSERT_TRUE(second);
  EXPECT_EQ(second->file, data + "/Trash/files/x%\xff.2.jpg");
  env->release(*second);
  EXPECT_FALSE(fs::exists(second->info));

  FileStat wrong = *st;
  wrong.size += 1;
  EXPECT_FALSE(env->moveIn(root, path, wrong, *place, error));  // not the file checked: stays
  ASSERT_TRUE(env->moveIn(root, path, *st, *place, error)) << error;
  std::ifstream info(place->info);
  std::string text((std::istreambuf_iterator<char>(info)), {});
  EXPECT_EQ(text.substr(0, text.find("DeletionDate=")),
            "[Trash Info]\nPath=" + trashPathEncode(root) + "/a%20b/x%25%FF.jpg\n");
  EXPECT_EQ(fs::perms(fs::status(data + "/Trash").permissions()) & fs::perms::all, fs::perms::owner_all);

  // File managers' tools list it: gio through the trash:// backend (gvfs),
  // started on a session bus of the test's own.
  // gvfs's trash backend looks into every mount, so another test's hangfs
  // mount, which hangs on purpose, makes gio time out: the check then waits.
  const bool gio = fs::exists("/usr/bin/gio") && fs::exists("/usr/bin/dbus-run-session") &&
                   fs::exists("/usr/libexec/gvfsd-trash");
  const auto hangfsMounted = [] {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line))
      if (line.find(" - fuse.hangfs ") != std::string::npos) return true;
    return false;
  };
  if (gio && hangfsMounted()) {
    std::printf("another test's hangfs is mounted (it may hang on purpose, and gvfs's trash backend looks "
                "into every mount): the Trash is not cross-checked with gio trash --list\n");
  } else if (gio) {
    testsupport::RunOptions withData;
    fs::create_directory(dir.path() + "/run");
    fs::permissions(dir.path() + "/run", fs::perms::owner_all);
    withData.extraEnvironment = {"XDG_DATA_HOME=" + data, "HOME=" + dir.path(), "XDG_RUNTIME_DIR=" + dir.path() + "/run"};
    auto listed = testsupport::runProcess({"/usr/bin/dbus-run-session", "--", "gio", "trash", "--list"}, withData);
    EXPECT_EQ(listed.exitStatus, 0) << listed.err;
    // Its original path, up to the byte that is not UTF-8 (which gio escapes).
    EXPECT_NE(listed.out.find("\t" + root + "/a b/x%"), std::string::npos) << listed.out << listed.err;
  } else {
    std::printf("gio, dbus-run-session or gvfs is missing (Debian packages libglib2.0-bin, dbus-daemon, gvfs): "
                "the Trash is not cross-checked with gio trash --list\n");
  }

  // Back, into a folder that was removed meanwhile; never over another file.
  fs::remove(root + "/a b");
  ASSERT_TRUE(env->moveOut(root, *place, path, error)) << error;
  EXPECT_EQ(env->stat(path)->ino, st->ino);
  std::ofstream(place->file) << "other";
  EXPECT_FALSE(env->moveOut(root, *place, path, error));
  EXPECT_NE(error.find("something else stands"), std::string::npos);
  // A file reached through a link in the library is never moved.
  fs::create_directory_symlink(root + "/a b", root + "/link");
  auto third = env->reserve(path, st->dev, error);
  ASSERT_TRUE(third);
  EXPECT_FALSE(env->moveIn(root, root + "/link/x%\xff.jpg", *env->stat(path), *third, error));
  ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace photodupes
