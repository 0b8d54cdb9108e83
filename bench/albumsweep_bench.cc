// albumsweep scan throughput and memory.
//
// Builds a folder library of real photos (the corpus JPEGs re-encoded at a
// few sizes and qualities, then copied until the count is reached; generated
// pictures when the corpus is absent) in a temporary folder, then measures:
//   - the scan of `--count` photos (default 2000): assets per second, once
//     with one worker and once with eight (--allow-cloud);
//   - the reference, in the same run over the same files: `sha256sum` plus
//     `vipsthumbnail -s 256`, the two things a scan does to every photo,
//     and the scan's time as a ratio of it;
//   - peak memory (max RSS of the child) of scans of 500 and 5,000 photos,
//     on a library of mixed photos and on one of 12-megapixel photos.
//
// With --megapixels M the photos are instead eight generated photo-like
// JPEGs of M megapixels, copied (`--count 500 --megapixels 12 --memory ""`:
// the first scan of 500 twelve-megapixel photos).
//
// Usage: albumsweep_bench [--count N] [--megapixels M] [--memory 500,5000] [--keep]
// (--keep leaves the work folder and its libraries in /tmp, and says where)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <vips/vips.h>

#include "testsupport/images.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ChildRun {
  double seconds = 0;     // wall time
  double cpuSeconds = 0;  // user + system time
  long maxRssKb = 0;
  long medianRssKb = 0;  // of samples taken every 10 ms: what the run holds most of the time
  int status = -1;
};

// The child's resident set, from /proc; 0 when it cannot be read.
long residentKb(pid_t pid) {
  std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs argv with standard input from /dev/null and standard output into
// outPath, and measures it.
ChildRun spawnAndWait(const std::vector<std::string>& argv, const std::string& outPath) {
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  ChildRun run;
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int rc = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return run;
  int status = 0;
  rusage usage{};
  std::vector<long> samples;
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    if (long kb = residentKb(pid); kb > 0) samples.push_back(kb);
    usleep(10000);
  }
  if (!samples.empty()) {
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    run.medianRssKb = samples[samples.size() / 2];
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                   usage.ru_stime.tv_usec / 1e6;
  run.maxRssKb = usage.ru_maxrss;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Linux keeps a process's peak RSS across exec, so a child spawned from this
// (large, libvips-laden) process would report at least our own peak. The
// launcher, forked first thing while we are still small, spawns every
// measured child instead.
class Launcher {
 public:
  Launcher() {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      serve(down[0], up[1]);
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    to_ = down[1];
    from_ = up[0];
  }
  ~Launcher() {
    close(to_);
    close(from_);
    waitpid(pid_, nullptr, 0);
  }

  ChildRun run(std::vector<std::string> argv, const std::string& outPath = "/dev/null") {
    argv.push_back(outPath);
    std::string request;
    for (const auto& a : argv) request.append(a).push_back('\0');
    std::uint64_t size = request.size();
    writeAll(to_, &size, sizeof size);
    writeAll(to_, request.data(), request.size());
    ChildRun result;
    readAll(from_, &result, sizeof result);
    return result;
  }

 private:
  static bool readAll(int fd, void* p, std::size_t n) {
    auto* b = static_cast<char*>(p);
    while (n > 0) {
      ssize_t k = read(fd, b, n);
      if (k <= 0) return false;
      b += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }
  static void writeAll(int fd, const void* p, std::size_t n) {
    const auto* b = static_cast<const char*>(p);
    while (n > 0) {
      ssize_t k = write(fd, b, n);
      if (k <= 0) std::abort();
      b += k;
      n -= static_cast<std::size_t>(k);
    }
  }
  static void serve(int in, int out) {
    for (;;) {
      std::uint64_t size = 0;
      if (!readAll(in, &size, sizeof size)) return;
      std::string request(size, '\0');
      if (!readAll(in, request.data(), size)) return;
      std::vector<std::string> argv;
      for (std::size_t k = 0; k < request.size();) {
        std::size_t end = request.find('\0', k);
        argv.push_back(request.substr(k, end - k));
        k = end + 1;
      }
      std::string outPath = argv.back();
      argv.pop_back();
      ChildRun result = spawnAndWait(argv, outPath);
      writeAll(out, &result, sizeof result);
    }
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

// Eight generated photo-like JPEGs of about `megapixels` megapixels (4:3).
std::vector<std::string> makeLargeSeeds(const std::string& dir, int megapixels) {
  std::vector<std::string> seeds;
  int height = static_cast<int>(std::sqrt(megapixels * 1e6 * 3 / 4));
  for (int k = 0; k < 8; ++k) {
    testsupport::Picture picture;
    picture.pattern = testsupport::Pattern::kPhoto;
    picture.width = height * 4 / 3 - k;
    picture.height = height;
    picture.quality = 85 + k;
    std::string path = dir + "/large" + std::to_string(k) + ".jpg";
    if (testsupport::writeImage(path, picture)) seeds.push_back(path);
  }
  return seeds;
}

// Seed pictures: every corpus JPEG re-encoded at three sizes and two
// qualities; generated photo-like JPEGs when there is no corpus.
std::vector<std::string> makeSeeds(const std::string& dir) {
  std::vector<std::string> seeds;
  std::vector<std::string> sources;
  for (const char* sub : {"cameras", "orientation", "odd-exif"}) {
    fs::path folder = fs::path(CORPUS_DIR) / sub;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      std::string ext = e.path().extension().string();
      if (ext == ".jpg" || ext == ".JPG" || ext == ".jpeg") sources.push_back(e.path().string());
    }
  }
  int n = 0;
  for (const auto& src : sources) {
    for (double scale : {1.0, 0.8, 0.6}) {
      for (int quality : {92, 80}) {
        VipsImage* in = vips_image_new_from_file(src.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
        if (!in) {
          vips_error_clear();
          continue;
        }
        VipsImage* out = nullptr;
        std::string path = dir + "/seed" + std::to_string(n) + ".jpg";
        bool ok = vips_resize(in, &out, scale, nullptr) == 0 &&
                  vips_jpegsave(out, path.c_str(), "Q", quality, nullptr) == 0;
        if (out) g_object_unref(out);
        g_object_unref(in);
        if (ok) {
          seeds.push_back(path);
          ++n;
        } else {
          vips_error_clear();
        }
      }
    }
  }
  if (seeds.empty()) {
    std::fprintf(stderr, "corpus not found at %s: using generated pictures\n", CORPUS_DIR);
    for (int k = 0; k < 60; ++k) {
      testsupport::Picture picture;
      picture.pattern = testsupport::Pattern::kPhoto;
      picture.width = 1600 - 10 * k;
      picture.height = 1200 - 8 * k;
      picture.quality = 80 + k % 15;
      std::string path = dir + "/seed" + std::to_string(k) + ".jpg";
      if (testsupport::writeImage(path, picture)) seeds.push_back(path);
    }
  }
  return seeds;
}

// How makeLibrary fills a library from its seeds.
enum class Copies {
  kPlain,   // copied in turn
  kInTurn,  // copied in turn, copy k dated k seconds before copy 0, so that a scan (newest first) meets the seeds in
            // the same repeating order in a library of any size; the seeds must carry no capture date
  kLinked,  // hard links: any number of large photos on little disk
};

// A library of `count` photos in folders of 100, made from the seeds in turn.
std::vector<std::string> makeLibrary(const std::string& root, const std::vector<std::string>& seeds, int count,
                                     Copies how = Copies::kPlain) {
  std::vector<std::string> files;
  const auto now = fs::file_time_type::clock::now();
  for (int k = 0; k < count; ++k) {
    std::string folder = root + "/roll" + std::to_string(k / 100);
    fs::create_directories(folder);
    std::string path = folder + "/IMG_" + std::to_string(k) + ".jpg";
    const std::string& seed = seeds[k % seeds.size()];
    if (how == Copies::kLinked) fs::create_hard_link(seed, path);
    else fs::copy_file(seed, path, fs::copy_options::overwrite_existing);
    if (how == Copies::kInTurn) fs::last_write_time(path, now - std::chrono::seconds(k));
    files.push_back(path);
  }
  return files;
}

// The seeds re-encoded without their metadata (capture date, orientation,
// colour profile), for Copies::kInTurn.
std::vector<std::string> undatedSeeds(const std::string& dir, const std::vector<std::string>& seeds) {
  fs::create_directories(dir);
  std::vector<std::string> out;
  for (const auto& seed : seeds) {
    VipsImage* in = vips_image_new_from_file(seed.c_str(), nullptr);
    std::string path = dir + "/" + fs::path(seed).filename().string();
    if (in && vips_jpegsave(in, path.c_str(), "Q", 90, "strip", TRUE, nullptr) == 0) out.push_back(path);
    else vips_error_clear();
    if (in) g_object_unref(in);
  }
  return out;
}

long countRecords(const std::string& outPath) {
  std::ifstream in(outPath);
  std::string line;
  long n = 0;
  while (std::getline(in, line))
    if (line.find("\"i\":") != std::string::npos) ++n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  Launcher launcher;  // before anything makes this process big
  int count = 2000;
  std::vector<int> memoryCounts = {500, 5000};
  bool keep = false;
  int megapixels = 0;
  for (int k = 1; k < argc; ++k) {
    std::string a = argv[k];
    if (a == "--count" && k + 1 < argc) count = std::max(1, std::atoi(argv[++k]));
    else if (a == "--megapixels" && k + 1 < argc) megapixels = std::max(1, std::atoi(argv[++k]));
    else if (a == "--memory" && k + 1 < argc) {
      memoryCounts.clear();
      std::stringstream list(argv[++k]);
      std::string item;
      while (std::getline(list, item, ',')) memoryCounts.push_back(std::max(1, std::atoi(item.c_str())));
    } else if (a == "--keep") keep = true;
  }
  if (VIPS_INIT(argv[0])) return 1;

  char tmpl[] = "/tmp/albumsweep-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string work = tmpl;
  fs::create_directories(work + "/seeds");
  std::vector<std::string> seeds =
      megapixels > 0 ? makeLargeSeeds(work + "/seeds", megapixels) : makeSeeds(work + "/seeds");
  std::printf("seeds: %zu distinct re-encoded photos\n", seeds.size());

  // Throughput.
  std::string lib = work + "/library";
  std::vector<std::string> files = makeLibrary(lib, seeds, count);
  std::uintmax_t totalBytes = 0;
  for (const auto& f : files) totalBytes += fs::file_size(f);
  std::printf("library: %d photos, %.1f MB\n\n", count, totalBytes / 1e6);

  std::string scanOut = work + "/scan.jsonl";
  // Read every file once so that all runs find them in the page cache.
  for (const auto& f : files) {
    std::ifstream warm(f, std::ios::binary);
    warm.ignore(1 << 30);
  }

  ChildRun one = launcher.run({ALBUMSWEEP_BIN, "--library", lib, "--deadline", "3600"}, scanOut);
  long oneRecords = countRecords(scanOut);
  ChildRun eight = launcher.run({ALBUMSWEEP_BIN, "--library", lib, "--deadline", "3600", "--allow-cloud"}, scanOut);
  long eightRecords = countRecords(scanOut);

  std::vector<std::string> shaArgs = {"sha256sum"};
  shaArgs.insert(shaArgs.end(), files.begin(), files.end());
  ChildRun sha = launcher.run(shaArgs);
  fs::create_directories(work + "/thumbs");
  std::vector<std::string> thumbArgs = {"vipsthumbnail", "-s", "256", "-o", work + "/thumbs/%s.jpg"};
  thumbArgs.insert(thumbArgs.end(), files.begin(), files.end());
  ChildRun thumbs = launcher.run(thumbArgs);
  double reference = sha.seconds + thumbs.seconds;
  double referenceCpu = sha.cpuSeconds + thumbs.cpuSeconds;

  std::printf("%-36s %9s %9s %12s %10s\n", "run", "wall s", "CPU s", "assets/s", "max RSS");
  auto row = [&](const char* what, const ChildRun& r, long n) {
    std::printf("%-36s %9.2f %9.2f %12.1f %7.1f MB   (%ld items, exit %d)\n", what, r.seconds, r.cpuSeconds,
                n / r.seconds, r.maxRssKb / 1024.0, n, r.status);
  };
  row("albumsweep, 1 worker", one, oneRecords);
  row("albumsweep --allow-cloud, 8 workers", eight, eightRecords);
  row("sha256sum (reference)", sha, count);
  row("vipsthumbnail -s 256 (reference)", thumbs, count);
  std::printf("%-36s %9.2f %9.2f %12.1f\n", "sha256sum + vipsthumbnail", reference, referenceCpu,
              count / reference);
  std::printf("\ntime ratio albumsweep / reference (lower is faster): wall %.2f, CPU %.2f (1 worker); "
              "wall %.2f, CPU %.2f (8 workers)\n\n",
              one.seconds / reference, one.cpuSeconds / referenceCpu, eight.seconds / reference,
              eight.cpuSeconds / referenceCpu);
  fs::remove_all(lib);
  fs::remove_all(work + "/thumbs");

  // Peak memory against the number of assets, on two kinds of library.
  // Mixed: the seeds, re-encoded without their capture date and met in the
  // same repeating order in a library of any size (copies sharing a date
  // would otherwise stand in a row: 13 twelve-megapixel photos in a row
  // among 5,000, none among 500). Its peak is the highest of brief spikes
  // (two of its few large photos decoded at once), and a longer run meets
  // more of them. 12 MP: every photo alike, so that what a run meets does
  // not change with its length and any growth is the scan's own.
  struct MemoryLibrary {
    std::string name;
    std::vector<std::string> seeds;
    Copies how;
  };
  std::vector<MemoryLibrary> kinds;
  if (!memoryCounts.empty()) {
    // With --megapixels the throughput run's seeds are all of one size.
    std::string first = megapixels > 0 ? std::to_string(megapixels) + " MP in turn" : "mixed";
    kinds.push_back({first, undatedSeeds(work + "/undated", seeds), Copies::kInTurn});
    // The throughput run's own seeds when they are already the 12-megapixel ones.
    if (megapixels != 12) fs::create_directories(work + "/large");
    kinds.push_back({"12 MP", megapixels == 12 ? seeds : makeLargeSeeds(work + "/large", 12), Copies::kLinked});
  }
  for (std::size_t k = 0; k < kinds.size(); ++k) {
    const MemoryLibrary& kind = kinds[k];
    std::vector<std::pair<int, ChildRun>> runs;
    for (int n : memoryCounts) {
      std::string memLib = work + "/memory" + std::to_string(k) + "-" + std::to_string(n) + "-" + std::to_string(runs.size());
      makeLibrary(memLib, kind.seeds, n, kind.how);
      ChildRun r = launcher.run({ALBUMSWEEP_BIN, "--library", memLib, "--deadline", "3600"}, scanOut);
      std::printf("peak memory, %s, %5d assets: %7.1f MB max RSS, %7.1f MB median RSS  (%.1f s, %ld records)\n",
                  kind.name.c_str(), n, r.maxRssKb / 1024.0, r.medianRssKb / 1024.0, r.seconds, countRecords(scanOut));
      runs.emplace_back(n, r);
      if (!keep) fs::remove_all(memLib);
    }
    if (runs.size() >= 2 && runs.back().first != runs.front().first)
      std::printf("  max RSS grows by %.2f KB per asset (%d to %d assets)\n",
                  double(runs.back().second.maxRssKb - runs.front().second.maxRssKb) /
                      (runs.back().first - runs.front().first),
                  runs.front().first, runs.back().first);
  }
  if (keep) std::printf("kept: %s\n", work.c_str());
  else fs::remove_all(work);
  return 0;
}
