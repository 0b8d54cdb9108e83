// The report's split into pages, on made-up groups without thumbnails.
#include "photodupes/report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "testsupport/images.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Report, SplitsManyGroupsIntoLinkedPagesOfWholeGroups) {
  // 250 groups of two, then one group larger than a page's photo budget.
  std::vector<Photo> photos;
  std::vector<Group> groups;
  auto addGroup = [&](std::size_t members) {
    Group g;
    for (std::size_t k = 0; k < members; ++k) {
      Photo p;
      p.path = "/l/" + std::to_string(photos.size()) + ".jpg";
      p.name = std::to_string(photos.size()) + ".jpg";
      g.members.push_back({photos.size(), k == 0, true, 0.0f, 0});
      photos.push_back(p);
    }
    groups.push_back(g);
  };
  for (int i = 0; i < 250; ++i) addGroup(2);
  addGroup(kPhotosPerPage + 5);

  testsupport::TempDir dir;
  writeReport(dir.path() + "/r.html", photos, groups, "test");
  const std::vector<std::string> names = {"r.html", "r-2.html", "r-3.html", "r-4.html"};
  std::size_t next = 1;  // groups must appear once each, in order, over the pages
  for (std::size_t k = 0; k < names.size(); ++k) {
    ASSERT_TRUE(fs::exists(dir.path() + "/" + names[k])) << names[k];
    const std::string page = readFile(dir.path() + "/" + names[k]);
    const std::regex section("<section class=\"group\" id=\"g(\\d+)\"");
    std::size_t here = 0;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), section); it != std::sregex_iterator(); ++it, ++here)
      EXPECT_EQ(std::stoul((*it)[1]), next++) << names[k];
    EXPECT_LE(here, kGroupsPerPage) << names[k];
    for (const std::string& other : names)
      EXPECT_NE(page.find(other == names[k] ? "<b>" + std::to_string(k + 1) + "</b>" : "href=\"" + other + "\""),
                std::string::npos)
          << names[k] << " does not link " << other;
  }
  EXPECT_EQ(next, groups.size() + 1);
  EXPECT_FALSE(fs::exists(dir.path() + "/r-5.html"));
}

}  // namespace
}  // namespace photodupes
