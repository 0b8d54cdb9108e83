// `photodupes trash` and `undo` end to end: the built program on a library
// made here, with a home and Trash of the test's own, judged on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <atomic>
#include <thread>

#include "photodupes/e2e_support.h"
#include "testsupport/hang_mount.h"

namespace photodupes::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string contentOf(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// What a file holds, short enough to print.
std::string digestOf(const std::string& bytes) {
  return std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes));
}

// Every regular file below `dir`: relative path -> digest of its bytes and
// modification time.
std::map<std::string, std::pair<std::string, std::int64_t>> snapshot(const std::string& dir) {
  std::map<std::string, std::pair<std::string, std::int64_t>> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    struct stat st;
    ::lstat(e.path().c_str(), &st);
    out[fs::relative(e.path(), dir).string()] = {digestOf(contentOf(e.path())),
                                                 st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  }
  return out;
}

std::size_t filesIn(const std::string& dir) {
  if (!fs::exists(dir)) return 0;
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

// The original path each .trashinfo of a Trash names (percent-decoded,
// relative ones below `top`), by the name of the file it describes; a
// .trashinfo that is not valid fails the test.
std::map<std::string, std::string> trashInfos(const std::string& trash, const std::string& top = "") {
  std::map<std::string, std::string> out;
  if (!fs::exists(trash + "/info")) return out;
  for (const auto& e : fs::directory_iterator(trash + "/info")) {
    const std::string text = contentOf(e.path());
    const auto path = trashInfoPath(text);
    if (!path) {
      ADD_FAILURE() << e.path() << " is not a valid .trashinfo: " << text;
      continue;
    }
    out[e.path().stem().string()] = (*path)[0] == '/' ? *path : top + "/" + *path;
  }
  return out;
}

std::set<std::string> pathsIn(const json& outcome, const std::string& state) {
  std::set<std::string> out;
  for (const json& f : outcome["files"])
    if (f["state"] == state) out.insert(f["path"].get<std::string>());
  return out;
}

// Writes each picture and its exact copies below `lib`.
void writeCopies(const std::string& lib, const std::vector<std::pair<testsupport::Picture, std::vector<std::string>>>& sets) {
  for (const auto& [picture, names] : sets) {
    fs::create_directories(fs::path(lib + "/" + names[0]).parent_path());
    ASSERT_TRUE(testsupport::writeImage(lib + "/" + names[0], picture));
    for (std::size_t k = 1; k < names.size(); ++k) {
      fs::create_directories(fs::path(lib + "/" + names[k]).parent_path());
      fs::copy_file(lib + "/" + names[0], lib + "/" + names[k]);
    }
  }
}

using testsupport::Pattern;

TEST(PhotodupesTrashE2E, MovesExactlyTheCopiesNotKeptLeavesAGroupWithoutKeeperAndUndoesAll) {
  testsupport::TempDir dir;
  const std::string lib = dir.path() + "/library", state = dir.path() + "/state", home = dir.path() + "/home",
                    trash = dir.path() + "/data/Trash";
  fs::create_directories(home);
  writeCopies(lib, {{{.width = 640, .height = 480, .pattern = Pattern::kScene},
                     {"scene.jpg", "a/scene copy.jpg", "b/scene (2).jpg"}},
                    {{.width = 400, .height = 300, .pattern = Pattern::kStripes}, {"stripes.jpg", "a/stripes-copy.jpg"}},
                    {{.width = 500, .height = 500, .pattern = Pattern::kGradient}, {"gradient.jpg"}}});
  const std::vector<std::string> env = {"HOME=" + home, "XDG_DATA_HOME=" + dir.path() + "/data"};
  ASSERT_EQ(photodupes({"scan", "--library", lib}, state, env).exitStatus, 0);
  const auto listed = photodupes({"groups", "--library", lib, "--json"}, state, env);
  ASSERT_EQ(listed.exitStatus, 0) << listed.err;
  // The keeper of the stripes' group is deleted behind photodupes' back.
  std::set<std::string> notKept, orphaned;
  const json groups = json::parse(listed.out);
  for (const json& g : groups["groups"]) {
    std::string keeper;
    std::set<std::string> others;
    for (const json& m : g["members"]) {
      if (m["keep"]) keeper = m["path"];
      else others.insert(m["path"].get<std::string>());
    }
    const bool stripes = keeper.find("stripes") != std::string::npos;
    (stripes ? orphaned : notKept).insert(others.begin(), others.end());
    if (stripes) fs::remove(keeper);
  }
  ASSERT_EQ(notKept.size(), 2u);
  ASSERT_EQ(orphaned.size(), 1u);
  const auto before = snapshot(lib);

  const auto moved = photodupes({"trash", "--library", lib, "--json"}, state, env);
  ASSERT_EQ(moved.exitStatus, 0) << moved.err;
  const json outcome = json::parse(moved.out);
  // The group whose keeper is gone is no group any more: its copy stays.
  EXPECT_EQ(pathsIn(outcome, "moved"), notKept) << moved.out;
  EXPECT_TRUE(fs::exists(*orphaned.begin()));
  // On disk: exactly those files in the Trash, each with a valid .trashinfo
  // naming where it was, and the same bytes; everything else untouched.
  std::set<std::string> inTrash;
  for (const auto& [name, path] : trashInfos(trash)) {
    inTrash.insert(path);
    EXPECT_EQ(digestOf(contentOf(trash + "/files/" + name)), before.at(fs::relative(path, lib).string()).first) << name;
  }
  EXPECT_EQ(inTrash, notKept);
  EXPECT_EQ(filesIn(trash + "/files"), notKept.size());
  auto now = snapshot(lib);
  for (const auto& [rel, facts] : before)
    if (!notKept.count(lib + "/" + rel)) {
      EXPECT_EQ(now[rel], facts) << rel;
    }

  const auto undone = photodupes({"undo", "--library", lib, "--json"}, state, env);
  ASSERT_EQ(undone.exitStatus, 0) << undone.err;
  EXPECT_EQ(json::parse(undone.out)["restored"], notKept.size()) << undone.out;
  EXPECT_EQ(snapshot(lib), before);  // the same bytes and modification times
  EXPECT_EQ(filesIn(trash + "/files"), 0u);
  EXPECT_EQ(filesIn(trash + "/info"), 0u);
}

// A run killed half-way, on a file system whose renames block on demand
// (the library and its Trash, at the top of the mount, on it): the test
// kills photodupes once the first file has moved, while the second is on
// its way. The next `trash` moves only what is left, and `undo` puts back
// every file either run moved.
TEST(PhotodupesTrashE2E, ARunKilledBetweenTwoMovesIsUndoneWholeAndMovesNothingTwice) {
  testsupport::TempDir backing, dir;
  testsupport::HangMount mount(backing.path());
  if (!mount.available()) GTEST_SKIP() << mount.why();
  const std::string lib = mount.mountPoint() + "/library", state = dir.path() + "/state",
                    trash = mount.mountPoint() + "/.Trash-" + std::to_string(::getuid());
  writeCopies(backing.path() + "/library",
              {{{.width = 320, .height = 240, .pattern = Pattern::kScene}, {"scene.jpg", "c1.jpg", "c2.jpg", "c3.jpg"}}});
  const std::vector<std::string> env = {"HOME=" + dir.path(), "XDG_DATA_HOME=" + dir.path() + "/data"};
  ASSERT_EQ(photodupes({"scan", "--library", lib}, state, env).exitStatus, 0);
  const auto before = snapshot(lib);
  const auto dry = photodupes({"trash", "--library", lib, "--dry-run", "--json"}, state, env);
  std::vector<std::string> order;  // the order the files move in
  const json planned = json::parse(dry.out);
  for (const json& f : planned["files"]) order.push_back(f["path"]);
  ASSERT_EQ(order.size(), 3u) << dry.out;

  const std::string second = order[1].substr(mount.mountPoint().size() + 1);
  mount.start(testsupport::Misbehaviour::kHangRename, second);
  const std::string pidFile = dir.path() + "/pid", wrapper = dir.path() + "/run.sh";
  writeScript(wrapper, "echo $$ > '" + pidFile + "'; exec \"$@\"");
  testsupport::RunOptions options;
  options.extraEnvironment = {env[0], env[1], "XDG_STATE_HOME=" + state, "PHOTODUPES_ALBUMSWEEP=" ALBUMSWEEP_BIN};
  testsupport::ProcessResult killed;
  std::atomic<bool> ended = false;
  std::thread run([&] {
    killed = testsupport::runProcess({wrapper, PHOTODUPES_BIN, "trash", "--library", lib}, options);
    ended = true;
  });
  // Killed once the first file is in the Trash: before the second rename,
  // or while it waits (then the rename still happens as the process dies).
  // Watched in the backing folder: nothing in the mount is touched while
  // the rename waits (it holds locks there).
  const std::string backingTrash = backing.path() + "/.Trash-" + std::to_string(::getuid());
  while (filesIn(backingTrash + "/files") < 1 && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (!ended) ::kill(std::stoi(contentOf(pidFile)), SIGKILL);
  mount.stop(testsupport::Misbehaviour::kHangRename, second);
  run.join();
  ASSERT_EQ(killed.signal, SIGKILL) << killed.out << killed.err;
  const std::size_t movedBefore = filesIn(trash + "/files");
  EXPECT_GE(movedBefore, 1u);
  EXPECT_LE(movedBefore, 2u);

  // The next run moves what is left, each file once: nothing is left
  // behind, no file is in the Trash twice, no .trashinfo without its file.
  const auto again = photodupes({"trash", "--library", lib, "--json"}, state, env);
  ASSERT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_EQ(json::parse(again.out)["moved"], 3 - movedBefore) << again.out;
  std::set<std::string> inTrash;
  for (const auto& [name, path] : trashInfos(trash, mount.mountPoint())) inTrash.insert(path);
  EXPECT_EQ(inTrash, std::set<std::string>(order.begin(), order.end()));
  EXPECT_EQ(filesIn(trash + "/files"), 3u);

  // Undo of the last batch, then of the killed one: every file back.
  for (int b = 0; b < 2; ++b) ASSERT_EQ(photodupes({"undo", "--library", lib}, state, env).exitStatus, 0);
  EXPECT_EQ(snapshot(lib), before);
  EXPECT_EQ(filesIn(trash + "/files"), 0u);
  EXPECT_EQ(filesIn(trash + "/info"), 0u);
}

}  // namespace
}  // namespace photodupes::e2e
