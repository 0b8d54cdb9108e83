// twinspot throughput against vipsthumbnail, measured in the same run.
//
//   build/bench/twinspot_bench [--photos N] [--reps R]
//
// For each file set (corpus JPEGs, corpus HEIF, N generated 24-megapixel
// JPEGs, the same pictures as 24-megapixel DNG raws) it runs `twinspot
// hash`, `twinspot thumb` and `vipsthumbnail -s 256` over the same files
// (for the raws, over the JPEGs of the same pictures: vipsthumbnail would
// show a raw's preview), R times each, and prints the
// best time as files per second, the ratio to vipsthumbnail, and each
// process's peak resident memory. It also runs twinspot over the generated
// list repeated 5 times to show that peak memory does not grow with the
// number of files.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "testsupport/camera_files.h"
#include "testsupport/images.h"

extern char** environ;

namespace {

struct Timing {
  double seconds = 0;     // wall time
  double cpuSeconds = 0;  // user + system time of the process
  long peakKb = 0;
  bool ok = false;
};

// Runs argv with stdin from `stdinPath` and stdout to `stdoutPath`, stderr
// discarded; wall time and peak RSS from wait4.
Timing runOnce(const std::vector<std::string>& argv, const std::string& stdinPath, const std::string& stdoutPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  Timing t;  // ok stays false until the program ran and exited 0
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return t;
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.peakKb = usage.ru_maxrss;
  auto secs = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  t.cpuSeconds = secs(usage.ru_utime) + secs(usage.ru_stime);
  t.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return t;
}

// Best of several runs: least wall time, least CPU time and the highest peak
// memory seen. One failed run marks the whole measurement failed.
struct Best {
  Timing t{.seconds = HUGE_VAL, .cpuSeconds = HUGE_VAL, .peakKb = 0, .ok = true};
  void add(const Timing& run) {
    t.ok = t.ok && run.ok;
    t.seconds = std::min(t.seconds, run.seconds);
    t.cpuSeconds = std::min(t.cpuSeconds, run.cpuSeconds);
    t.peakKb = std::max(t.peakKb, run.peakKb);
  }
};

std::string findInPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    std::string candidate = p.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

void writeList(const std::string& path, const std::vector<std::string>& files) {
  std::string data;
  for (const auto& f : files) data += f + '\0';
  testsupport::writeBytes(path, data);
}

std::vector<std::string> filesIn(const std::string& dir, const std::vector<std::string>& suffixes) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (std::find(suffixes.begin(), suffixes.end(), ext) != suffixes.end()) files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void line(const char* set, size_t files, const char* tool, const Timing& t, const Timing* reference) {
  if (!t.ok) {
    std::printf("%-12s %5zu  %-21s  FAILED\n", set, files, tool);
    return;
  }
  double rate = files / t.seconds;
  std::printf("%-12s %5zu  %-21s %7.3f s %7.1f files/s  cpu %7.3f s  peak %6.1f MB", set, files, tool, t.seconds, rate,
              t.cpuSeconds, t.peakKb / 1024.0);
  if (reference && reference->ok)
    std::printf("  x%.2f wall, x%.2f cpu vs vipsthumbnail", reference->seconds / t.seconds,
                reference->cpuSeconds / t.cpuSeconds);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  int photos = 8, reps = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--photos") photos = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--reps") reps = std::max(1, std::atoi(argv[i + 1]));
  }
  const std::string vipsthumbnail = findInPath("vipsthumbnail");
  if (vipsthumbnail.empty()) {
    std::printf("vipsthumbnail not found (Debian package libvips-tools)\n");
    return 1;
  }
  testsupport::TempDir work;
  const std::string w = work.path();

  struct Set {
    const char* name;
    std::vector<std::string> files;
    std::vector<std::string> referenceFiles;  // for vipsthumbnail; empty: `files`
  };
  std::vector<Set> sets;
  const std::string corpus = CORPUS_DIR;
  std::vector<std::string> jpegs;
  for (const char* sub : {"/orientation", "/cameras", "/odd-exif"})
    for (auto& f : filesIn(corpus + sub, {".jpg", ".jpeg"})) jpegs.push_back(f);
  if (!jpegs.empty()) sets.push_back({"corpus-jpeg", jpegs, {}});
  auto heifs = filesIn(corpus + "/heif", {".heic", ".heif"});
  if (!heifs.empty()) sets.push_back({"corpus-heif", heifs, {}});

  std::printf("generating %d 24-megapixel JPEGs and DNGs ...\n", photos);
  std::fflush(stdout);
  std::filesystem::create_directory(w + "/photos");
  std::vector<std::string> big, raws;
  for (int i = 0; i < photos; ++i) big.push_back(w + "/photos/photo" + std::to_string(i) + ".jpg");
  for (int i = 0; i < photos; ++i) raws.push_back(w + "/photos/photo" + std::to_string(i) + ".dng");
  // Generated in a child process: the peak memory that wait4 reports for a
  // spawned program starts from this process's own peak, which must stay small.
  pid_t generator = fork();
  if (generator == 0) {
    for (int i = 0; i < photos; ++i) {
      testsupport::Picture params{.width = 6000,
                                    .height = 4000,
                                    .pattern = testsupport::Pattern::kPhoto,
                                    .orientation = i % 2 ? 6 : 1,
                                    .quality = 90};
      if (!testsupport::writeImage(big[static_cast<size_t>(i)], params)) _exit(1);
      testsupport::Picture preview{.width = 160, .height = 120};
      auto dng = testsupport::encodeDng(params, preview);
      if (!dng || !testsupport::writeBytes(raws[static_cast<size_t>(i)], *dng)) _exit(1);
    }
    _exit(0);
  }
  int generated = 1;
  if (generator < 0 || waitpid(generator, &generated, 0) < 0 || !WIFEXITED(generated) || WEXITSTATUS(generated) != 0) {
    std::printf("could not generate the photos\n");
    return 1;
  }
  sets.push_back({"24mp-jpeg", big, {}});
  sets.push_back({"24mp-dng", raws, big});

  std::filesystem::create_directory(w + "/vt");
  std::printf("%-12s %5s  %-21s %9s %15s  (best of %d; cpu = least user+system time)\n", "set", "files", "tool", "wall",
              "rate", reps);
  bool failed = false;
  for (const Set& set : sets) {
    const std::string list = w + "/list";
    writeList(list, set.files);
    std::vector<std::string> vt = {vipsthumbnail, "-s", "256", "-o", w + "/vt/%s.jpg[Q=72]"};
    const std::vector<std::string>& reference = set.referenceFiles.empty() ? set.files : set.referenceFiles;
    vt.insert(vt.end(), reference.begin(), reference.end());
    // The three tools take turns within each round, so that a change in the
    // machine's load hits all of them alike.
    Best hash, thumb, ref;
    for (int r = 0; r < reps; ++r) {
      ref.add(runOnce(vt, "/dev/null", w + "/out"));
      thumb.add(runOnce({TWINSPOT_BIN, "thumb"}, list, w + "/out"));
      hash.add(runOnce({TWINSPOT_BIN, "hash"}, list, w + "/out"));
    }
    line(set.name, set.files.size(), "vipsthumbnail -s 256", ref.t, nullptr);
    line(set.name, set.files.size(), "twinspot thumb", thumb.t, &ref.t);
    line(set.name, set.files.size(), "twinspot hash", hash.t, &ref.t);
    failed = failed || !ref.t.ok || !thumb.t.ok || !hash.t.ok;
  }

  // Peak memory against the number of files: the same photos, 5 times over.
  std::vector<std::string> many;
  for (int k = 0; k < 5; ++k) many.insert(many.end(), big.begin(), big.end());
  writeList(w + "/list", big);
  Timing once = runOnce({TWINSPOT_BIN, "thumb"}, w + "/list", w + "/out");
  writeList(w + "/list", many);
  Timing five = runOnce({TWINSPOT_BIN, "thumb"}, w + "/list", w + "/out");
  if (!once.ok || !five.ok) {
    std::printf("peak memory, twinspot thumb: FAILED\n");
    return 1;
  }
  std::printf("peak memory, twinspot thumb: %zu files %.1f MB, %zu files %.1f MB\n", big.size(), once.peakKb / 1024.0,
              many.size(), five.peakKb / 1024.0);
  return failed ? 1 : 0;
}
