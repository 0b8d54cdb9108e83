// The report as a browser shows it: headless Chromium loads the page (with a
// small counting script added to a copy) and the test reads the counts back
// from the dumped DOM.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "photodupes/e2e_support.h"

namespace photodupes::e2e {
namespace {

namespace fs = std::filesystem;

std::string chromium() {
  for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (fs::exists(p)) return p;
  return "";
}

const char* kCounter = R"(<script>
addEventListener('load', async () => {
  const imgs = [...document.images];
  for (const i of imgs) i.loading = 'eager';
  const ok = await Promise.all(imgs.map(i => i.decode().then(() => i.naturalWidth > 0, () => false)));
  const out = document.createElement('pre');
  out.id = 'counts';
  out.textContent = 'groups=' + document.querySelectorAll('section.group').length + ' images=' + imgs.length +
      ' decoded=' + ok.filter(x => x).length;
  document.body.appendChild(out);
});
</script>)";

TEST(PhotodupesReport, ChromiumShowsEveryGroupAndDecodesEveryThumbnail) {
  const std::string browser = chromium();
  if (browser.empty()) GTEST_SKIP() << "chromium is not installed (Debian package chromium): report not checked";
  testsupport::TempDir dir;
  const std::string lib = dir.path() + "/library", state = dir.path() + "/state";
  const GroupSet made = makeLibrary(lib);
  if (made.empty()) GTEST_SKIP() << "no photo corpus at " << CORPUS_DIR;
  ASSERT_EQ(photodupes({"scan", "--library", lib}, state).exitStatus, 0);
  const std::string page = dir.path() + "/out/report.html";
  fs::create_directories(dir.path() + "/out");
  auto r = photodupes({"report", "--library", lib, "-o", page}, state);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, page + "\n");

  std::ifstream in(page);
  std::stringstream text;
  text << in.rdbuf();
  std::string html = text.str();
  // Needs no script and no network of its own.
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http"), std::string::npos);
  const std::string check = dir.path() + "/out/check.html";
  std::ofstream(check) << html.insert(html.rfind("</body>"), kCounter);

  std::size_t images = 0;
  for (const auto& g : made) images += g.size();
  testsupport::RunOptions options;
  options.timeout = std::chrono::seconds(90);
  // The counts are written once the images' decodes settle, after the load
  // event; on a busy machine Chromium can dump the page before that. Such a
  // run measured nothing, so it is tried again; a page that never shows its
  // counts still fails.
  std::smatch m;
  testsupport::ProcessResult shown;
  for (int attempt = 0; attempt < 3; ++attempt) {
    shown = testsupport::runProcess(
        {browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--no-first-run", "--disable-sync",
         "--user-data-dir=" + dir.path() + "/profile" + std::to_string(attempt), "--virtual-time-budget=10000",
         "--dump-dom", "file://" + check},
        options);
    if (std::regex_search(shown.out, m, std::regex("groups=(\\d+) images=(\\d+) decoded=(\\d+)"))) break;
  }
  ASSERT_FALSE(m.empty()) << "no counts in the page Chromium dumped; its messages:\n" << shown.err;
  EXPECT_EQ(std::stoul(m[1]), made.size());
  EXPECT_EQ(std::stoul(m[2]), images);
  EXPECT_EQ(std::stoul(m[3]), images);
}

}  // namespace
}  // namespace photodupes::e2e
