// Scan speed on real libraries, each against a reference measured in the
// same run (the machine may be shared: read the ratios, not the seconds):
//   heif    twinspot hash and thumb of every corpus HEIF, against a
//           single-threaded libheif decode of the same file to RGB (in this
//           process); median of --runs runs. Files whose primary image is a
//           grid of tiles (phone photos) carry the goal, the others are
//           shown apart.
//   heic    a first scan (one worker) of a folder library of --heics copies
//           of the corpus HEIFs, against the summed single-threaded decodes.
//   rescan  bytes read (strace: read and pread64) by a re-scan of that
//           library with a complete manifest, against the library's size.
//   large   inventory plus re-scan with a complete manifest of --library
//           small JPEGs in nested folders (warm cache), against
//           `find DIR -type f`; median of --runs runs.
//   mixed   a first scan (one worker) of a library that mixes sizes as real
//           ones do: the lomiri wallpapers (1.5 to 24 megapixels, JPEG and
//           PNG), the corpus camera JPEGs (a few thousand pixels to 3
//           megapixels) and HEIFs (grid and whole-image, 0.3 to 12
//           megapixels), --copies copies of each, their dates spread so
//           that sizes alternate. Against two references over the same
//           files, measured in the same run (--runs runs, each ratio
//           reported per run and as the median):
//             A  `sha256sum` + `vipsthumbnail -s 256` of every file (the
//                first-scan reference of albumsweep_bench);
//             B  the same, with each HEIF's share replaced by a
//                single-threaded libheif decode to RGB (the heic reference).
//
// Usage: scanspeed_bench [--only heif|heic|rescan|large|mixed] [--runs 5] [--heics 40] [--library 100000]
//                        [--copies 3]
#include <fcntl.h>
#include <libheif/heif.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/images.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs argv with standard input and output redirected to files; wall time
// in seconds, negative when it could not run or failed. With `cpu`, also
// its processor time (user + system), which a shared machine disturbs less.
double runTimed(const std::vector<std::string>& argv, const std::string& in, const std::string& out,
                double* cpu = nullptr) {
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Clock::time_point start = Clock::now();
  pid_t pid;
  int rc = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  double seconds = secondsSince(start);
  if (cpu)
    *cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

std::string writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

double processCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// A single-threaded full decode of the file's primary image to 8-bit RGB;
// `cpu` (when given) receives the processor time it took.
double libheifDecodeSeconds(const std::string& path, double* cpu = nullptr) {
  Clock::time_point start = Clock::now();
  const double cpuStart = processCpuSeconds();
  heif_context* ctx = heif_context_alloc();
  heif_context_set_max_decoding_threads(ctx, 0);
  heif_image_handle* handle = nullptr;
  heif_image* image = nullptr;
  bool ok = heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
            heif_context_get_primary_image_handle(ctx, &handle).code == heif_error_Ok &&
            heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code ==
                heif_error_Ok;
  if (image) heif_image_release(image);
  if (handle) heif_image_handle_release(handle);
  heif_context_free(ctx);
  if (cpu) *cpu = processCpuSeconds() - cpuStart;
  return ok ? secondsSince(start) : -1;
}

// True when the file's primary image is a grid of tiles (an item of type
// "grid" in its meta box).
bool isGrid(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(65536, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head.find("infe") != std::string::npos && head.find("grid") != std::string::npos;
}

std::vector<std::string> corpusHeifs() {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(CORPUS_DIR) / "heif", ec)) {
    std::string ext = e.path().extension().string();
    if (ext == ".heif" || ext == ".HEIC" || ext == ".heic") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void benchHeif(const std::string& work, int runs) {
  std::printf("== twinspot on corpus HEIFs vs single-threaded libheif decode to RGB (median of %d) ==\n", runs);
  std::printf("%-34s %5s %9s %9s %9s %7s %7s | processor s: %6s %6s %6s\n", "file", "grid", "decode s", "hash s",
              "thumb s", "hash x", "thumb x", "decode", "hash", "thumb");
  for (const std::string& file : corpusHeifs()) {
    std::string list = writeText(work + "/list", file + std::string(1, '\0'));
    std::vector<double> decode, hash, thumb, hashRatio, thumbRatio, decodeCpu, hashCpu, thumbCpu;
    for (int r = 0; r < runs; ++r) {
      double cpu[3] = {};
      decode.push_back(libheifDecodeSeconds(file, &cpu[0]));
      hash.push_back(runTimed({TWINSPOT_BIN, "hash"}, list, "/dev/null", &cpu[1]));
      thumb.push_back(runTimed({TWINSPOT_BIN, "thumb"}, list, "/dev/null", &cpu[2]));
      hashRatio.push_back(hash.back() / decode.back());
      thumbRatio.push_back(thumb.back() / decode.back());
      decodeCpu.push_back(cpu[0]);
      hashCpu.push_back(cpu[1]);
      thumbCpu.push_back(cpu[2]);
    }
    std::printf("%-34s %5s %9.3f %9.3f %9.3f %7.2f %7.2f | %19.3f %6.3f %6.3f\n", fs::path(file).filename().c_str(),
                isGrid(file) ? "yes" : "no", median(decode), median(hash), median(thumb), median(hashRatio),
                median(thumbRatio), median(decodeCpu), median(hashCpu), median(thumbCpu));
  }
  std::printf(
      "(goal for grid files: hash x and thumb x <= 0.85; processor times show the work done, whatever the\n"
      " load of the machine: the decode's is single-threaded, twinspot's is spread over every core)\n");
  std::printf("load average at the end: ");
  std::ifstream load("/proc/loadavg");
  std::string line;
  std::getline(load, line);
  std::printf("%s\n\n", line.c_str());
}

// Skip manifest of every full record of a scan's output.
std::string manifestFrom(const std::string& scanOut) {
  std::string manifest = "{\"skip\":[";
  bool first = true;
  for (const std::string& line : readLines(scanOut)) {
    auto field = [&](const std::string& key) -> std::string {
      std::size_t at = line.find("\"" + key + "\":");
      if (at == std::string::npos) return "";
      at += key.size() + 3;
      std::size_t end = line[at] == '"' ? line.find('"', at + 1) + 1 : line.find_first_of(",}", at);
      return line.substr(at, end - at);
    };
    if (field("sha").empty()) continue;
    manifest += std::string(first ? "" : ",") + "{\"id\":" + field("id") + ",\"mod\":" + field("mod") +
                ",\"size\":" + field("bytes") + "}";
    first = false;
  }
  return manifest + "]}";
}

long countWith(const std::string& path, const std::string& needle) {
  long n = 0;
  for (const std::string& line : readLines(path)) n += line.find(needle) != std::string::npos;
  return n;
}

// Bytes returned by read and pread64 calls of the process, from strace.
long long bytesRead(const std::string& straceLog) {
  long long total = 0;
  for (const std::string& line : readLines(straceLog)) {
    if (line.find("read") == std::string::npos) continue;
    std::size_t eq = line.rfind("= ");
    if (eq == std::string::npos) continue;
    long long n = std::atoll(line.c_str() + eq + 2);
    if (n > 0) total += n;
  }
  return total;
}

void benchHeicScan(const std::string& work, int copies, bool rescan) {
  std::vector<std::string> seeds = corpusHeifs();
  if (seeds.empty()) {
    std::printf("no corpus HEIFs at %s\n", CORPUS_DIR);
    return;
  }
  std::string lib = work + "/heic";
  double summedDecode = 0;
  std::uintmax_t libraryBytes = 0;
  for (int k = 0; k < copies; ++k) {
    const std::string& seed = seeds[k % seeds.size()];
    std::string folder = lib + "/roll" + std::to_string(k / 20);
    fs::create_directories(folder);
    std::string path = folder + "/IMG_" + std::to_string(k) + fs::path(seed).extension().string();
    fs::copy_file(seed, path, fs::copy_options::overwrite_existing);
    libraryBytes += fs::file_size(path);
  }
  for (int k = 0; k < copies; ++k) summedDecode += libheifDecodeSeconds(seeds[k % seeds.size()]);
  std::string out = work + "/scan.jsonl";
  double scan = runTimed({ALBUMSWEEP_BIN, "--library", lib, "--deadline", "inf"}, "/dev/null", out);
  std::printf("== first scan of %d HEIF photos (1 worker) vs summed single-threaded libheif decodes ==\n", copies);
  std::printf("scan %.2f s, decodes %.2f s, ratio %.2f (goal <= 0.6); %ld full records\n\n", scan, summedDecode,
              scan / summedDecode, countWith(out, "\"sha\""));
  if (!rescan) return;
  std::string manifest = writeText(work + "/manifest.json", manifestFrom(out));
  std::string log = work + "/strace.log";
  double seconds = runTimed({"strace", "-f", "-qq", "-e", "trace=read,pread64", "-e", "signal=none", "-o", log,
                             ALBUMSWEEP_BIN, "--library", lib, "--deadline", "inf"},
                            manifest, out);
  long long read = bytesRead(log);
  std::printf("== bytes read by a re-scan with a complete manifest ==\n");
  std::printf("read %lld bytes of a %ju-byte library: %.3f %% (goal <= 2 %%); %ld cached records, %.2f s\n\n", read,
              libraryBytes, 100.0 * read / libraryBytes, countWith(out, "\"cached\":true"), seconds);
}

// Inventory plus a re-scan with a complete manifest of `count` small JPEGs
// in nested folders, warm, against find.
void benchLarge(const std::string& work, int count, int runs) {
  std::string lib = work + "/large";
  std::vector<std::vector<std::uint8_t>> seeds;
  for (int k = 0; k < 16; ++k) {
    testsupport::Picture picture;
    picture.width = 160 + k;
    picture.height = 120;
    picture.pattern = testsupport::Pattern::kPhoto;
    seeds.push_back(testsupport::encodeImage(picture, ".jpg").value_or(std::vector<std::uint8_t>{}));
  }
  Clock::time_point start = Clock::now();
  std::string manifest = "{\"skip\":[";
  for (int k = 0; k < count; ++k) {
    std::string rel = "y" + std::to_string(2000 + k / 10000) + "/m" + std::to_string(k / 1000 % 10) + "/d" +
                      std::to_string(k / 100 % 10);
    std::string name = "IMG_" + std::to_string(k) + ".jpg";
    if (k % 100 == 0) fs::create_directories(lib + "/" + rel);
    std::string path = lib + "/" + rel + "/" + name;
    testsupport::writeBytes(path, seeds[k % seeds.size()]);
    struct stat st {};
    stat(path.c_str(), &st);
    long long mod = static_cast<long long>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    manifest += std::string(k ? "," : "") + "{\"id\":\"" + rel + "/" + name + "\",\"mod\":" + std::to_string(mod) +
                ",\"size\":" + std::to_string(st.st_size) + "}";
  }
  manifest += "]}";
  std::string manifestPath = writeText(work + "/large.json", manifest);
  std::printf("== inventory + re-scan with a complete manifest, %d small JPEGs (made in %.1f s), warm ==\n", count,
              secondsSince(start));
  std::string out = work + "/large.jsonl";
  std::vector<std::string> scanArgs = {ALBUMSWEEP_BIN,        "--library",  lib,  "--max",
                                       std::to_string(count), "--deadline", "inf"};
  runTimed(scanArgs, manifestPath, out);  // warms the cache
  runTimed({"find", lib, "-type", "f"}, "/dev/null", "/dev/null");
  std::vector<double> scan, find, scanCpu, findCpu;
  for (int r = 0; r < runs; ++r) {
    scan.push_back(runTimed(scanArgs, manifestPath, out, &scanCpu.emplace_back()));
    find.push_back(runTimed({"find", lib, "-type", "f"}, "/dev/null", "/dev/null", &findCpu.emplace_back()));
  }
  std::printf("albumsweep %.2f s (goal <= 10 s), find %.3f s, ratio %.0f; %ld of %d records cached\n",
              median(scan), median(find), median(scan) / median(find), countWith(out, "\"cached\":true"), count);
  std::printf("processor time: albumsweep %.2f s, find %.3f s, ratio %.0f\n\n", median(scanCpu), median(findCpu),
              median(scanCpu) / median(findCpu));
}

// The lomiri wallpapers (package lomiri-wallpapers), wherever they are
// installed: regular JPEG and PNG files only (one of them is a link to
// another).
std::vector<std::string> lomiriWallpapers() {
  std::vector<std::string> files;
  for (const char* dir : {"/usr/share/backgrounds", "/usr/share/wallpapers", "/usr/share/lomiri/wallpapers"}) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      std::string ext = e.path().extension().string();
      if (e.is_regular_file() && !e.is_symlink() && (ext == ".jpg" || ext == ".png")) files.push_back(e.path().string());
    }
    if (!files.empty()) break;
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool isHeifPath(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  return ext == ".heif" || ext == ".HEIC" || ext == ".heic";
}

void benchMixed(const std::string& work, int copies, int runs) {
  std::vector<std::string> wallpapers = lomiriWallpapers();
  std::vector<std::string> heifs = corpusHeifs();
  std::vector<std::string> cameras;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(CORPUS_DIR) / "cameras", ec))
    if (e.path().extension() == ".jpg") cameras.push_back(e.path().string());
  std::sort(cameras.begin(), cameras.end());
  if (wallpapers.empty() || heifs.empty() || cameras.empty()) {
    std::printf("== mixed library: skipped (%s%s) ==\n\n",
                wallpapers.empty() ? "no lomiri wallpapers: install lomiri-wallpapers; " : "",
                heifs.empty() || cameras.empty() ? "no corpus cameras/ or heif/ at " CORPUS_DIR : "");
    return;
  }
  // Sources interleaved by kind (a wallpaper, a camera photo, every third
  // step a HEIF), copied `copies` times; copy k of the whole list is older
  // than copy k - 1. The scan goes newest first, by capture date where a
  // file has one: the dated camera photos and HEIFs sort among themselves,
  // the wallpapers (no capture date) by these modification times.
  std::vector<std::string> order;
  for (std::size_t k = 0; k < std::max({wallpapers.size(), cameras.size(), heifs.size() * 3}); ++k) {
    if (k < wallpapers.size()) order.push_back(wallpapers[k]);
    if (k < cameras.size()) order.push_back(cameras[k]);
    if (k % 3 == 0 && k / 3 < heifs.size()) order.push_back(heifs[k / 3]);
  }
  std::string lib = work + "/mixed";
  std::vector<std::string> files, heifFiles, otherFiles;
  const auto now = fs::file_time_type::clock::now();
  std::uintmax_t bytes = 0;
  for (int c = 0; c < copies; ++c) {
    for (std::size_t k = 0; k < order.size(); ++k) {
      std::string folder = lib + "/copy" + std::to_string(c);
      fs::create_directories(folder);
      std::string path = folder + "/" + std::to_string(k) + "_" + fs::path(order[k]).filename().string();
      fs::copy_file(order[k], path, fs::copy_options::overwrite_existing);
      fs::last_write_time(path, now - std::chrono::seconds(c * order.size() + k));
      bytes += fs::file_size(path);
      files.push_back(path);
      (isHeifPath(path) ? heifFiles : otherFiles).push_back(path);
    }
  }
  std::printf("== first scan (1 worker) of a mixed library: %zu wallpapers, %zu camera JPEGs, %zu HEIFs, x%d: "
              "%zu files, %.1f MB ==\n",
              wallpapers.size(), cameras.size(), heifs.size(), copies, files.size(), bytes / 1e6);
  auto withFiles = [](std::vector<std::string> argv, const std::vector<std::string>& list) {
    argv.insert(argv.end(), list.begin(), list.end());
    return argv;
  };
  std::string thumbs = work + "/mixed-thumbs";
  fs::create_directories(thumbs);
  const std::vector<std::string> thumbArgs = {"vipsthumbnail", "-s", "256", "-o", thumbs + "/%s.jpg"};
  std::string out = work + "/mixed.jsonl";
  const std::vector<std::string> scanArgs = {ALBUMSWEEP_BIN, "--library", lib, "--deadline", "inf"};
  runTimed(scanArgs, "/dev/null", out);  // warms the page cache
  std::printf("%3s %8s %8s | %8s %8s %8s %8s | %7s %7s %7s | %6s\n", "run", "scan s", "cpu s", "sha s", "thumbs s",
              "thmOth s", "heifdec", "A x", "B x", "cpu A x", "cores");
  std::vector<double> ratioA, ratioB, cpuRatioA, busy;
  for (int r = 0; r < runs; ++r) {
    double scanCpu = 0, shaCpu = 0, thumbCpu = 0, otherCpu = 0;
    double scan = runTimed(scanArgs, "/dev/null", out, &scanCpu);
    double sha = runTimed(withFiles({"sha256sum"}, files), "/dev/null", "/dev/null", &shaCpu);
    double thumbAll = runTimed(withFiles(thumbArgs, files), "/dev/null", "/dev/null", &thumbCpu);
    double thumbOther = runTimed(withFiles(thumbArgs, otherFiles), "/dev/null", "/dev/null", &otherCpu);
    double shaOther = runTimed(withFiles({"sha256sum"}, otherFiles), "/dev/null", "/dev/null");
    double decodes = 0;
    for (const std::string& f : heifFiles) decodes += libheifDecodeSeconds(f);
    double refA = sha + thumbAll, refB = shaOther + thumbOther + decodes;
    if (scan < 0 || sha < 0 || thumbAll < 0 || thumbOther < 0 || shaOther < 0) {
      std::printf("a run failed (scan %.2f, sha256sum %.2f, vipsthumbnail %.2f / %.2f)\n", scan, sha, thumbAll,
                  thumbOther);
      return;
    }
    ratioA.push_back(scan / refA);
    ratioB.push_back(scan / refB);
    cpuRatioA.push_back(scanCpu / (shaCpu + thumbCpu));
    busy.push_back(scanCpu / scan);
    std::printf("%3d %8.2f %8.2f | %8.2f %8.2f %8.2f %8.2f | %7.2f %7.2f %7.2f | %6.2f\n", r + 1, scan, scanCpu, sha,
                thumbAll, thumbOther, decodes, ratioA.back(), ratioB.back(), cpuRatioA.back(), busy.back());
  }
  std::printf("median: A %.2f, B %.2f (goal <= 0.6 for both), processor time against A's %.2f, cores busy %.2f "
              "of %u; %ld full records of %zu\n",
              median(ratioA), median(ratioB), median(cpuRatioA), median(busy),
              std::max(1u, std::thread::hardware_concurrency()), countWith(out, "\"sha\""), files.size());
  std::printf("load average at the end: ");
  std::ifstream load("/proc/loadavg");
  std::string line;
  std::getline(load, line);
  std::printf("%s\n\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  int runs = 5, heics = 40, library = 100000, copies = 3;
  for (int k = 1; k + 1 < argc; k += 2) {
    std::string a = argv[k];
    if (a == "--only")
      only = argv[k + 1];
    else if (a == "--runs")
      runs = std::max(1, std::atoi(argv[k + 1]));
    else if (a == "--heics")
      heics = std::max(1, std::atoi(argv[k + 1]));
    else if (a == "--library")
      library = std::max(1, std::atoi(argv[k + 1]));
    else if (a == "--copies")
      copies = std::max(1, std::atoi(argv[k + 1]));
  }
  testsupport::TempDir dir;
  std::printf("machine: %u cores\n\n", std::max(1u, std::thread::hardware_concurrency()));
  if (only.empty() || only == "heif") benchHeif(dir.path(), runs);
  if (only.empty() || only == "heic" || only == "rescan") benchHeicScan(dir.path(), heics, only != "heic");
  if (only.empty() || only == "large") benchLarge(dir.path(), library, runs);
  if (only.empty() || only == "mixed") benchMixed(dir.path(), copies, runs);
  return 0;
}
