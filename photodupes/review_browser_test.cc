// `photodupes review` in a real browser: review_browser.js drives headless
// Chromium through puppeteer-core on a library made here, and this test
// judges what it recorded: the page against `groups --json`, a keeper chosen
// by keyboard, a group called not duplicates, the move to the Trash on disk,
// and the undo.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "photodupes/e2e_support.h"

namespace photodupes::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string found(std::initializer_list<const char*> candidates) {
  for (const char* p : candidates)
    if (fs::exists(p)) return p;
  return "";
}

// Group key -> the members' paths relative to `root`.
std::map<std::string, std::vector<json>> byKey(const json& step) {
  std::map<std::string, std::vector<json>> out;
  for (const json& g : step["groups"]) out[g["key"]] = g["members"];
  return out;
}

TEST(PhotodupesReviewBrowser, DecideMoveToTheTrashAndUndo) {
  const std::string chromium = found({"/usr/bin/chromium", "/usr/bin/chromium-browser"});
  const std::string node = found({"/usr/bin/node", "/usr/bin/nodejs"});
  const std::string modules = PUPPETEER_MODULES;
  if (chromium.empty() || node.empty())
    GTEST_SKIP() << "chromium or node is missing (Debian packages chromium, nodejs): the page is not checked";
  if (!fs::exists(modules + "/puppeteer-core"))
    GTEST_SKIP() << "puppeteer-core is not installed in " << modules << " (scripts/install-deps.sh installs it)";

  testsupport::TempDir dir;
  const std::string lib = dir.path() + "/library", state = dir.path() + "/state", home = dir.path() + "/home";
  fs::create_directories(lib + "/a/b");
  fs::create_directories(home);
  // Four pictures, each with exact copies; one copy's name holds markup.
  using testsupport::Pattern;
  const testsupport::Picture pictures[] = {{.width = 640, .height = 480, .pattern = Pattern::kScene},
                                           {.width = 600, .height = 400, .pattern = Pattern::kScene, .orientation = 3},
                                           {.width = 500, .height = 500, .pattern = Pattern::kGradient},
                                           {.width = 400, .height = 300, .pattern = Pattern::kStripes}};
  const std::vector<std::vector<std::string>> copies = {
      {"a/scene.jpg", "a/b/scene copy.jpg", "scene (2).jpg"},
      {"turned.jpg", "a/<img src=x onerror=alert(1)><script>alert(2)&amp;.jpg"},
      {"gradient.jpg", "a/b/gradient.jpg"},
      {"stripes.jpg", "a/stripes-copy.jpg"}};
  for (std::size_t i = 0; i < copies.size(); ++i) {
    ASSERT_TRUE(testsupport::writeImage(lib + "/" + copies[i][0], pictures[i]));
    for (std::size_t j = 1; j < copies[i].size(); ++j) fs::copy_file(lib + "/" + copies[i][0], lib + "/" + copies[i][j]);
  }
  const std::vector<std::string> env = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data"};
  ASSERT_EQ(photodupes({"scan", "--library", lib}, state, env).exitStatus, 0);
  const auto listed = photodupes({"groups", "--library", lib, "--json"}, state, env);
  ASSERT_EQ(listed.exitStatus, 0) << listed.err;
  const GroupSet expected = groupsOf(listed.out, lib);
  ASSERT_GE(expected.size(), 2u);

  const json config = {{"modules", modules},
                       {"chromium", chromium},
                       {"profile", dir.path() + "/profile"},
                       {"photodupes", PHOTODUPES_BIN},
                       {"library", lib},
                       {"trash", home + "/data/Trash"},
                       {"env",
                        {{"XDG_STATE_HOME", state},
                         {"HOME", home},
                         {"XDG_DATA_HOME", home + "/data"},
                         {"PHOTODUPES_ALBUMSWEEP", ALBUMSWEEP_BIN},
                         {"PHOTODUPES_TWINSPOT", TWINSPOT_BIN}}}};
  std::ofstream(dir.path() + "/config.json") << config.dump();
  testsupport::RunOptions options;
  options.timeout = std::chrono::seconds(180);
  const auto run = testsupport::runProcess({node, REVIEW_BROWSER_SCRIPT, dir.path() + "/config.json"}, options);
  const json record = json::parse(run.out, nullptr, false);
  ASSERT_TRUE(record.is_object()) << run.out << run.err;
  ASSERT_FALSE(record.contains("failure")) << record.dump(1).substr(0, 6000) << "\n" << run.err;
  ASSERT_EQ(record["steps"].size(), 5u);
  const json& loaded = record["steps"][0];
  const json& keeper = record["steps"][1];
  const json& ignored = record["steps"][2];
  const json& moved = record["steps"][3];
  const json& undone = record["steps"][4];

  // The secret left the address bar; the markup in a name stayed text.
  EXPECT_EQ(record["url"].get<std::string>().find("?t="), std::string::npos);
  EXPECT_EQ(record["injected"], 0);
  EXPECT_TRUE(record["dialogs"].empty()) << record["dialogs"];
  EXPECT_TRUE(record["errors"].empty()) << record["errors"];

  // The page shows the groups `groups --json` lists.
  GroupSet shown;
  for (const json& g : loaded["groups"]) {
    std::set<std::string> members;
    for (const json& m : g["members"]) members.insert(fs::path(m["path"].get<std::string>()).lexically_relative(lib));
    shown.insert(members);
  }
  EXPECT_EQ(shown, expected);

  // Key 2 made the first group's second photo its keeper.
  const json first = loaded["groups"][0];
  const auto afterKeeper = byKey(keeper);
  ASSERT_TRUE(afterKeeper.count(first["key"]));
  EXPECT_EQ(afterKeeper.at(first["key"])[0]["id"], first["members"][1]["id"]);
  EXPECT_EQ(afterKeeper.at(first["key"])[0]["keep"], true);

  // Key n made the second group (in the order shown then) leave the page.
  const json second = keeper["groups"][1];
  EXPECT_EQ(byKey(ignored).count(second["key"]), 0u);
  EXPECT_EQ(ignored["groups"].size(), keeper["groups"].size() - 1);

  // Exactly the files shown as not kept went to the Trash, each with its
  // .trashinfo; every other file stayed as it was.
  std::set<std::string> notKept;
  for (const json& g : ignored["groups"])
    for (const json& m : g["members"])
      if (!m["keep"]) notKept.insert(m["path"]);
  ASSERT_FALSE(notKept.empty());
  EXPECT_NE(record["confirm"].get<std::string>().find(std::to_string(notKept.size()) + " files"), std::string::npos)
      << record["confirm"];
  EXPECT_NE(record["moved"].get<std::string>().find("Moved " + std::to_string(notKept.size()) + " files"),
            std::string::npos)
      << record["moved"];
  const json& before = loaded["library"];
  std::set<std::string> inTrash;
  for (const auto& [name, info] : moved["trash"]["infos"].items()) {
    const std::string text = info.get<std::string>();
    const auto decoded = trashInfoPath(text);
    ASSERT_TRUE(decoded) << text;
    const std::string path = *decoded;
    inTrash.insert(path);
    const std::string file = name.substr(0, name.size() - std::string(".trashinfo").size());
    ASSERT_TRUE(moved["trash"]["files"].contains(file)) << file;
    EXPECT_EQ(moved["trash"]["files"][file], before[fs::path(path).lexically_relative(lib).string()]["sha"]);
  }
  EXPECT_EQ(inTrash, notKept);
  EXPECT_EQ(moved["trash"]["files"].size(), notKept.size());
  for (const auto& [rel, facts] : before.items()) {
    if (notKept.count(lib + "/" + rel))
      EXPECT_FALSE(moved["library"].contains(rel)) << rel;
    else
      EXPECT_EQ(moved["library"][rel], facts) << rel;
  }

  // Undo: every file back, the same bytes and modification time, the Trash
  // empty again.
  EXPECT_NE(record["undone"].get<std::string>().find("Put back " + std::to_string(notKept.size())), std::string::npos)
      << record["undone"];
  EXPECT_EQ(undone["library"], before);
  EXPECT_TRUE(undone["trash"]["files"].empty());
  EXPECT_TRUE(undone["trash"]["infos"].empty());
  EXPECT_EQ(undone["groups"].size(), ignored["groups"].size());
  EXPECT_EQ(record["exit"], 0);  // "Finish" ended photodupes review
}

}  // namespace
}  // namespace photodupes::e2e
