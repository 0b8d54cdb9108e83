// photodupes end to end on a mixed library, as a user runs it: real photos
// (the corpus's cameras/, heif/ and one of each orientation set, of 512
// pixels or more, and the lomiri wallpapers of Debian) as originals, each
// with edited copies written in other folders under other names, among
// unrelated pictures made here (noise fields and shapes of random colours
// and sizes, each from its own seed). Then `photodupes scan`, `groups
// --json` twice on the same catalog, and `files --json` on the same folder,
// each timed (wall and processor time, the children's included).
//
// Printed, from the first `groups`: per kind of edit, the copies put in one
// group with their original; the pairs of different originals joined in one
// group, and the unrelated pictures joined with an original or a copy; how
// often the original is its group's keeper (and which copy won where it is
// not); mirrored copies apart, since they are another picture. Each beside
// its goal.
//
//   build/bench/photodupes_e2e_recall [--unrelated N] [--no-wallpapers]
//                                     [--dir DIR] [--keep]
// The library is made in DIR/library (DIR: default a new folder in $TMPDIR
// or /tmp), the catalogs beside it; all removed at the end unless --keep.
#include <sys/resource.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "imaging/imaging.h"
#include "imaging/vips_ref.h"
#include "testsupport/images.h"
#include "testsupport/photo_edits.h"
#include "testsupport/subprocess.h"

namespace {

namespace fs = std::filesystem;
using testsupport::PhotoEdit;

// The edits made of every original; kMirror is not a duplicate.
constexpr PhotoEdit kEdits[] = {
    PhotoEdit::kResizeHalf, PhotoEdit::kReencode, PhotoEdit::kBrighten,   PhotoEdit::kGrey,
    PhotoEdit::kCaption,    PhotoEdit::kPad,      PhotoEdit::kLetterbox,  PhotoEdit::kCropSides,
    PhotoEdit::kCropCorner, PhotoEdit::kCropCorner15, PhotoEdit::kMirror,
};
// Folders the copies and the unrelated pictures go to, as in a real library.
const char* const kCopyFolders[] = {"Shared/WhatsApp", "Exports/web", "Edited", "Downloads", "Albums/2023 Summer",
                                    "Albums/Family", "Screenshots", "Old phone/DCIM"};
const char* const kOtherFolders[] = {"Camera/2021", "Camera/2022", "Camera/2023", "Camera/2024",
                                     "Scans",       "Misc",        "Albums/Trips", "Albums/Garden"};

struct File {
  int source = -1;   // the original's index; -1 for an unrelated picture
  int edit = -1;     // index into kEdits; -1 for the original itself
};

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// An unrelated picture: three Perlin fields of their own cell sizes as red,
// green and blue, crossed with a Worley field, then a few rectangles and
// discs of random colours; its size one of several. Every seed its own.
std::optional<std::vector<std::uint8_t>> unrelatedPicture(unsigned seed) {
  using imaging::VipsRef;
  std::mt19937 rng(seed * 2654435761u + 12345);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  static const int kSizes[][2] = {{640, 480}, {800, 600}, {1024, 768}, {1280, 960}, {1600, 1200},
                                  {1920, 1080}, {480, 640}, {768, 1024}, {1200, 1600}, {900, 900}};
  const auto& size = kSizes[uniform(0, static_cast<int>(std::size(kSizes)) - 1)];
  const int w = size[0], h = size[1];
  VipsImage* bands[3] = {};
  VipsRef r, g, b, worley, rgb, mixed, img;
  VipsRef* refs[3] = {&r, &g, &b};
  for (int k = 0; k < 3; ++k) {
    if (vips_perlin(&refs[k]->p, w, h, "cell_size", uniform(24, 400), "seed", uniform(0, 1 << 30), "uchar", TRUE,
                    nullptr) != 0)
      return std::nullopt;
    bands[k] = refs[k]->p;
  }
  if (vips_bandjoin(bands, &rgb.p, 3, nullptr) != 0 ||
      vips_worley(&worley.p, w, h, "cell_size", uniform(40, 300), "seed", uniform(0, 1 << 30), nullptr) != 0)
    return std::nullopt;
  // Worley distances (0 to about the cell size) darken the colours by cell.
  const double fall = 1.0 / uniform(60, 400);
  VipsRef shade, lit;
  if (vips_linear1(worley.p, &shade.p, -fall, 1.0, nullptr) != 0 ||
      vips_multiply(rgb.p, shade.p, &lit.p, nullptr) != 0 || vips_cast_uchar(lit.p, &mixed.p, nullptr) != 0)
    return std::nullopt;
  img.p = vips_image_copy_memory(mixed.p);
  if (!img.p) return std::nullopt;
  for (int k = uniform(2, 9); k > 0; --k) {
    double ink[3] = {double(uniform(0, 255)), double(uniform(0, 255)), double(uniform(0, 255))};
    const int x = uniform(0, w - 1), y = uniform(0, h - 1);
    if (uniform(0, 1))
      vips_draw_rect(img.p, ink, 3, x, y, uniform(w / 20, w / 3), uniform(h / 20, h / 3), "fill", TRUE, nullptr);
    else
      vips_draw_circle(img.p, ink, 3, x, y, uniform(std::min(w, h) / 20, std::min(w, h) / 4), "fill", TRUE, nullptr);
  }
  void* buf = nullptr;
  size_t len = 0;
  if (vips_jpegsave_buffer(img.p, &buf, &len, "Q", uniform(75, 95), nullptr) != 0) return std::nullopt;
  std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
  g_free(buf);
  return out;
}

// Runs `work(i)` for i in [0, n) on every core.
template <class F>
void parallelFor(std::size_t n, F work) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < n;) work(i);
    });
  for (auto& t : threads) t.join();
}

double seconds(const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; }

struct Timed {
  testsupport::ProcessResult result;
  double wall = 0, cpu = 0;
};

// Runs a program; processor time is that of the child and its children.
Timed timed(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  testsupport::RunOptions options;
  options.extraEnvironment = env;
  options.timeout = std::chrono::hours(2);
  Timed t;
  t.result = testsupport::runProcess(argv, options);
  getrusage(RUSAGE_CHILDREN, &after);
  t.wall = t.result.elapsed.count() / 1000.0;
  t.cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
  if (t.result.exitStatus != 0)
    std::fprintf(stderr, "%s %s: exit %d, signal %d\n%s\n", argv[0].c_str(), argv[3].c_str(), t.result.exitStatus,
                 t.result.signal, t.result.err.c_str());
  return t;
}

double percent(std::size_t part, std::size_t whole) { return whole ? part * 100.0 / whole : 0; }
const char* verdict(bool met) { return met ? "met" : "NOT MET"; }

// The groups of a `groups --json` document, as member paths and the keeper.
struct Group {
  std::vector<std::string> members;
  std::string keeper;
};
std::optional<std::vector<Group>> parseGroups(const std::string& out) {
  try {
    const auto doc = nlohmann::json::parse(out);
    std::vector<Group> groups;
    for (const auto& g : doc.at("groups")) {
      Group group;
      group.keeper = g.at("keeper").get<std::string>();
      for (const auto& m : g.at("members")) group.members.push_back(m.at("path").get<std::string>());
      groups.push_back(std::move(group));
    }
    return groups;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "groups --json did not parse: %s\n", e.what());
    return std::nullopt;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int unrelated = 1000;
  bool wallpapers = true, keep = false;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--unrelated" && i + 1 < argc) {
      unrelated = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else if (a == "--no-wallpapers") {
      wallpapers = false;
    } else {
      std::fprintf(stderr, "usage: %s [--unrelated N] [--no-wallpapers] [--dir DIR] [--keep]\n", argv[0]);
      return 2;
    }
  }
  const bool madeDir = dir.empty();
  if (madeDir) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/photodupes-e2e-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  const std::string library = dir + "/library";
  if (fs::exists(library)) {
    std::fprintf(stderr, "%s exists already: give a --dir without a library in it\n", library.c_str());
    return 1;
  }
  fs::create_directories(library);
  imaging::initImaging();

  // The originals: corpus photos of 512 pixels or more, then the wallpapers.
  std::vector<std::string> sources;
  const std::string corpus = CORPUS_DIR;
  for (const char* sub : {"cameras", "heif"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(corpus + "/" + sub, ec)) sources.push_back(e.path().string());
  }
  sources.push_back(corpus + "/orientation/Landscape_1.jpg");
  sources.push_back(corpus + "/orientation/Portrait_1.jpg");
  std::sort(sources.begin(), sources.end());
  std::size_t corpusCount = 0;
  if (wallpapers) {
    if (FILE* p = popen("dpkg -L lomiri-wallpapers lomiri-wallpapers-20.04 lomiri-wallpapers-16.04 2>/dev/null", "r")) {
      char line[4096];
      std::vector<std::string> found;
      while (std::fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const std::string ext = fs::path(s).extension().string();
        if ((ext == ".jpg" || ext == ".png") && fs::is_regular_file(s)) found.push_back(s);
      }
      pclose(p);
      std::sort(found.begin(), found.end());
      found.erase(std::unique(found.begin(), found.end()), found.end());
      if (found.empty()) std::printf("no lomiri wallpapers (apt-get install lomiri-wallpapers): corpus only\n");
      for (auto& f : found) sources.push_back(f);
    }
  }

  // Reads each candidate original, keeps those of 512 pixels or more.
  std::vector<std::string> originals;
  std::vector<std::vector<std::uint8_t>> originalBytes;
  for (const std::string& f : sources) {
    auto bytes = imaging::readRegularFile(f);
    if (!bytes) continue;
    VipsImage* header = vips_image_new_from_buffer(bytes->data(), bytes->size(), "", nullptr);
    const int longer = header ? std::max(vips_image_get_width(header), vips_image_get_height(header)) : 0;
    if (header) g_object_unref(header);
    vips_error_clear();
    // The same file twice (lomiri ships one wallpaper under two names) is one original.
    if (longer < 512 || std::find(originalBytes.begin(), originalBytes.end(), *bytes) != originalBytes.end()) continue;
    if (f.rfind(corpus, 0) == 0) ++corpusCount;
    originals.push_back(f);
    originalBytes.push_back(std::move(*bytes));
  }
  if (originals.empty()) {
    std::printf("no originals found (corpus %s)\n", corpus.c_str());
    return 1;
  }

  // Where each file goes: originals under their own names, copies and
  // unrelated pictures under camera-like names in other folders.
  std::map<std::string, File> files;  // path -> what it is
  std::mt19937 rng(20240518);
  std::vector<int> numbers(originals.size() * std::size(kEdits) + unrelated);
  for (std::size_t k = 0; k < numbers.size(); ++k) numbers[k] = 1000 + static_cast<int>(k);
  std::shuffle(numbers.begin(), numbers.end(), rng);
  std::size_t nextNumber = 0;
  std::vector<std::string> originalPaths;
  for (std::size_t s = 0; s < originals.size(); ++s) {
    const bool camera = s < corpusCount;
    const std::string path =
        library + (camera ? "/Camera Uploads/" : "/Wallpapers/") + fs::path(originals[s]).filename().string();
    originalPaths.push_back(path);
    files[path] = File{static_cast<int>(s), -1};
  }
  struct Job {
    std::string path;
    int source, edit;  // edit -1: an unrelated picture of seed `source`
  };
  std::vector<Job> jobs;
  for (std::size_t s = 0; s < originals.size(); ++s)
    for (std::size_t e = 0; e < std::size(kEdits); ++e) {
      const int n = numbers[nextNumber++];
      jobs.push_back({library + "/" + kCopyFolders[n % std::size(kCopyFolders)] + "/IMG_" + std::to_string(n) + ".jpg",
                      static_cast<int>(s), static_cast<int>(e)});
    }
  for (int u = 0; u < unrelated; ++u) {
    const int n = numbers[nextNumber++];
    jobs.push_back({library + "/" + kOtherFolders[n % std::size(kOtherFolders)] + "/DSC_" + std::to_string(n) + ".jpg",
                    u, -1});
  }

  std::printf("making the library in %s: %zu originals (%zu corpus photos, %zu wallpapers), %zu edited copies, %d "
              "unrelated pictures\n",
              library.c_str(), originals.size(), corpusCount, originals.size() - corpusCount,
              originals.size() * std::size(kEdits), unrelated);
  std::fflush(stdout);
  const auto madeStart = std::chrono::steady_clock::now();
  for (std::size_t s = 0; s < originals.size(); ++s) writeFile(originalPaths[s], originalBytes[s]);
  std::mutex lock;
  std::size_t failed = 0;
  parallelFor(jobs.size(), [&](std::size_t i) {
    const Job& job = jobs[i];
    auto bytes = job.edit < 0 ? unrelatedPicture(static_cast<unsigned>(job.source))
                              : testsupport::editPhoto(originalBytes[job.source], kEdits[job.edit]);
    std::lock_guard<std::mutex> hold(lock);
    if (bytes && writeFile(job.path, *bytes))
      files[job.path] = File{job.edit < 0 ? -1 : job.source, job.edit};
    else
      ++failed;
  });
  std::printf("made %zu files in %.0f s (%zu failed)\n\n", files.size(),
              std::chrono::duration<double>(std::chrono::steady_clock::now() - madeStart).count(), failed);

  const std::string bin = PHOTODUPES_BIN;
  const std::vector<std::string> env = {std::string("PHOTODUPES_ALBUMSWEEP=") + ALBUMSWEEP_BIN,
                                        std::string("PHOTODUPES_TWINSPOT=") + TWINSPOT_BIN,
                                        "XDG_STATE_HOME=" + dir + "/state"};
  const std::string catalog = dir + "/catalog.db", filesCatalog = dir + "/files-catalog.db";
  const Timed scan = timed({bin, "--catalog", catalog, "scan", "--library", library}, env);
  const Timed first = timed({bin, "--catalog", catalog, "groups", "--library", library, "--json"}, env);
  const Timed second = timed({bin, "--catalog", catalog, "groups", "--library", library, "--json"}, env);
  const Timed folders = timed({bin, "--catalog", filesCatalog, "files", library, "--json"}, env);

  std::printf("%-34s %9s %14s\n", "run", "wall s", "processor s");
  for (auto [what, t] : {std::pair{"scan", &scan}, std::pair{"groups (first)", &first},
                         std::pair{"groups (second, same catalog)", &second}, std::pair{"files DIR (new catalog)", &folders}})
    std::printf("%-34s %9.1f %14.1f%s\n", what, t->wall, t->cpu, t->result.exitStatus == 0 ? "" : "  (failed)");
  std::printf("goals: a second groups <= 3 s; files no more processor time than scan + groups (%.1f s)\n\n",
              scan.cpu + first.cpu);

  auto report = [&](const char* title, const std::string& out) {
    auto groups = parseGroups(out);
    if (!groups) return;
    std::map<std::string, std::size_t> groupOf;  // path -> group index
    for (std::size_t g = 0; g < groups->size(); ++g)
      for (const std::string& m : (*groups)[g].members) groupOf[m] = g;
    auto together = [&](const std::string& a, const std::string& b) {
      auto x = groupOf.find(a), y = groupOf.find(b);
      return x != groupOf.end() && y != groupOf.end() && x->second == y->second;
    };
    std::printf("%s: %zu groups\n", title, groups->size());
    std::printf("%-28s %7s %7s %8s   goal\n", "edit", "copies", "found", "share");
    std::size_t all = 0, allFound = 0, mirrored = 0, mirroredJoined = 0;
    bool everyKind = true;
    for (std::size_t e = 0; e < std::size(kEdits); ++e) {
      std::size_t n = 0, found = 0;
      for (const auto& [path, f] : files)
        if (f.edit == static_cast<int>(e)) ++n, found += together(path, originalPaths[f.source]);
      if (kEdits[e] == PhotoEdit::kMirror) {
        mirrored += n, mirroredJoined += found;
        continue;
      }
      all += n, allFound += found;
      everyKind = everyKind && percent(found, n) >= 85;
      std::printf("%-28s %7zu %7zu %7.1f%%   >= 85%% %s\n", testsupport::photoEditName(kEdits[e]), n, found,
                  percent(found, n), verdict(percent(found, n) >= 85));
    }
    std::printf("%-28s %7zu %7zu %7.1f%%   >= 95%% %s; every kind >= 85%%: %s\n", "all copies", all, allFound,
                percent(allFound, all), verdict(percent(allFound, all) >= 95), verdict(everyKind));
    std::printf("%-28s %7zu %7zu %7.1f%%   (another picture, not a duplicate: reported apart)\n",
                "mirrored, with its original", mirrored, mirroredJoined, percent(mirroredJoined, mirrored));

    // Different originals joined, unrelated pictures joined, keepers.
    std::size_t wrongPairs = 0, unrelatedWithOriginal = 0, unrelatedOnly = 0, photoGroups = 0, originalKept = 0,
                originalAbsent = 0;
    std::map<std::string, std::size_t> winners;  // what was kept instead of the original
    for (const Group& g : *groups) {
      std::set<int> ids;
      std::size_t strays = 0;
      for (const std::string& m : g.members) {
        auto f = files.find(m);
        if (f == files.end()) continue;
        if (f->second.source < 0)
          ++strays;
        else
          ids.insert(f->second.source);
      }
      wrongPairs += ids.size() * (ids.size() - 1) / 2;
      if (ids.empty()) {
        unrelatedOnly += strays > 0;
        continue;
      }
      unrelatedWithOriginal += strays;
      ++photoGroups;
      auto k = files.find(g.keeper);
      const bool kept = k != files.end() && k->second.edit < 0 && k->second.source >= 0;
      originalKept += kept;
      if (kept) continue;
      bool originalIn = false;
      for (int s : ids)
        originalIn = originalIn || std::find(g.members.begin(), g.members.end(), originalPaths[s]) != g.members.end();
      originalAbsent += !originalIn;
      ++winners[k == files.end() ? "?" : k->second.source < 0 ? "an unrelated picture"
                                                               : testsupport::photoEditName(kEdits[k->second.edit])];
    }
    std::printf("pairs of different originals in one group: %zu   goal 0 %s\n", wrongPairs, verdict(wrongPairs == 0));
    std::string alone;
    std::size_t aloneCount = 0;
    for (const std::string& o : originalPaths)
      if (!groupOf.count(o)) alone += " " + fs::path(o).filename().string(), ++aloneCount;
    std::printf("originals in no group: %zu%s\n", aloneCount, alone.c_str());
    std::printf("unrelated pictures in a group with an original or copy: %zu; groups of unrelated pictures only: %zu\n",
                unrelatedWithOriginal, unrelatedOnly);
    std::printf("original kept: %zu of %zu groups of the photos (%.1f%%)   goal >= 95%% %s\n", originalKept, photoGroups,
                percent(originalKept, photoGroups), verdict(percent(originalKept, photoGroups) >= 95));
    if (!winners.empty()) {
      std::printf("  kept instead (%zu of those groups hold no original):", originalAbsent);
      for (const auto& [what, n] : winners) std::printf(" %s %zu;", what.c_str(), n);
      std::printf("\n");
    }
    std::printf("\n");
  };
  if (first.result.exitStatus == 0) report("groups (first run)", first.result.out);
  if (second.result.exitStatus == 0) {
    auto a = parseGroups(first.result.out), b = parseGroups(second.result.out);
    auto keyed = [](const std::optional<std::vector<Group>>& gs) {
      std::set<std::pair<std::string, std::set<std::string>>> out;
      if (gs)
        for (const Group& g : *gs) out.insert({g.keeper, {g.members.begin(), g.members.end()}});
      return out;
    };
    std::printf("second groups run gives the same groups and keepers: %s\n\n",
                keyed(a) == keyed(b) ? "yes" : "NO");
  }
  if (folders.result.exitStatus == 0) report("files DIR", folders.result.out);

  if (keep) {
    std::printf("kept: %s (catalog %s)\n", library.c_str(), catalog.c_str());
  } else {
    // Only what this run made: the folder itself when it made it.
    std::error_code ec;
    if (madeDir) {
      fs::remove_all(dir, ec);
    } else {
      fs::remove_all(library, ec);
      fs::remove_all(dir + "/state", ec);
      for (const std::string& c : {catalog, filesCatalog})
        for (const char* suffix : {"", "-wal", "-shm", ".lock"}) fs::remove(c + suffix, ec);
    }
  }
  return 0;
}
