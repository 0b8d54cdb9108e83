// Feature prints of 12-megapixel photos.
//
// JPEG: three corpus photos upscaled to 4000 x 3000 and saved at quality 90
// when the benchmark starts. HEIF: the corpus' two 12-megapixel HMD Nokia
// photos as they are. Reported:
//   PrintFrom/*       the whole print of the default printer (revision 2;
//                     items_per_second = prints per second, wall time:
//                     libvips decodes on its own threads; the CPU column is
//                     the CPU time of all threads, so 1000 / CPU ms is what
//                     one otherwise idle core prints per second)
//   GlobalPrintFrom/* the revision-1 print (global part only) as reference
//   Decode/*          decoding alone, as the print does it
//                     (imaging::reducedFrom, then the pixels)
//   ThumbOnly/*       imaging::thumbFrom at the working size, as reference:
//                     a thumbnail, decoded at twice its size or more
//   PrintStages/*     the print done stage by stage, measured in the same
//                     iterations: decode_share (as Decode),
//                     global_share and local_share (keypoints, descriptors)
//   PairDistance/*    one distance with geometric verification: near = a
//                     photo against a 15 % crop of it, far = two photos
//
// With --job GROUPS,... it instead runs albumsweep simverify --files on
// GROUPS groups of 3 members (every member its own path: hard links to 12
// distinct 12-megapixel JPEGs) and reports, per size, the job's time against
// reading and decoding the same members alone (in this process, one at a
// time, as the printer decodes them), and the job's peak memory. Both are
// timed in wall seconds and in CPU seconds (all threads; on a busy machine
// the CPU ratio is the one to trust).
#include <vips/vips.h>

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "imaging/imaging.h"
#include "featureprint/feature_print.h"
#include "testsupport/images.h"
#include "testsupport/subprocess.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kCorpus = CORPUS_DIR;

Bytes readFile(const std::string& path) { return imaging::readRegularFile(path).value_or(Bytes{}); }

// A corpus photo upscaled to 4000 x 3000 (12 megapixels), as JPEG quality 90.
Bytes twelveMegapixelJpeg(const std::string& name) {
  Bytes out;
  VipsImage* in = vips_image_new_from_file((kCorpus + "/cameras/" + name).c_str(), nullptr);
  if (!in) return out;
  VipsImage* big = nullptr;
  if (vips_resize(in, &big, 4000.0 / in->Xsize, "vscale", 3000.0 / in->Ysize, nullptr) == 0) {
    void* buf = nullptr;
    size_t len = 0;
    if (vips_jpegsave_buffer(big, &buf, &len, "Q", 90, "strip", TRUE, nullptr) == 0) {
      out.assign(static_cast<std::uint8_t*>(buf), static_cast<std::uint8_t*>(buf) + len);
      g_free(buf);
    }
    g_object_unref(big);
  }
  g_object_unref(in);
  return out;
}

// The pixels the default printer computes its print from.
std::optional<imaging::RgbPixels> workingPixels(std::span<const std::uint8_t> encoded) {
  using featureprint::VerifiedFeaturePrinter;
  auto reduced = imaging::reducedFrom(encoded, VerifiedFeaturePrinter::kLeastWorkingSize,
                                      VerifiedFeaturePrinter::kWorkingSize);
  return reduced ? imaging::rgbPixels(reduced->image) : std::nullopt;
}

const std::vector<Bytes>& photos(bool heif) {
  static const std::vector<Bytes> jpegs = [] {
    std::vector<Bytes> v;
    for (const char* name : {"Canon_40D.jpg", "Nikon_D70.jpg", "Reconyx_HC500_Hyperfire.jpg"})
      if (Bytes b = twelveMegapixelJpeg(name); !b.empty()) v.push_back(std::move(b));
    return v;
  }();
  static const std::vector<Bytes> heifs = [] {
    std::vector<Bytes> v;
    for (const char* name : {"HMD_Nokia_8.3_5G.heif", "HMD_Nokia_8.3_5G_hdr.heif"})
      if (Bytes b = readFile(kCorpus + "/heif/" + name); !b.empty()) v.push_back(std::move(b));
    return v;
  }();
  return heif ? heifs : jpegs;
}

void printEach(benchmark::State& state, const featureprint::FeaturePrinter& printer) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  size_t k = 0;
  for (auto _ : state) {
    auto print = printer.printFrom(set[k++ % set.size()]);
    if (!print) return state.SkipWithError("no print");
    benchmark::DoNotOptimize(print);
  }
  state.SetItemsProcessed(state.iterations());
}

void PrintFrom(benchmark::State& state) { printEach(state, featureprint::defaultFeaturePrinter()); }
void GlobalPrintFrom(benchmark::State& state) { printEach(state, featureprint::LayoutFeaturePrinter()); }

void ThumbOnly(benchmark::State& state) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  size_t k = 0;
  for (auto _ : state) {
    auto thumb = imaging::thumbFrom(set[k++ % set.size()], featureprint::VerifiedFeaturePrinter::kWorkingSize);
    if (!thumb) return state.SkipWithError("no thumbnail");
    benchmark::DoNotOptimize(thumb);
  }
  state.SetItemsProcessed(state.iterations());
}

void Decode(benchmark::State& state) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  size_t k = 0;
  for (auto _ : state) {
    auto pixels = workingPixels(set[k++ % set.size()]);
    if (!pixels) return state.SkipWithError("no pixels");
    benchmark::DoNotOptimize(pixels);
  }
  state.SetItemsProcessed(state.iterations());
}

void PrintStages(benchmark::State& state) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  featureprint::VerifiedFeaturePrinter printer;
  featureprint::LayoutFeaturePrinter global;
  using Clock = std::chrono::steady_clock;
  Clock::duration decoding{}, globalPart{}, total{};
  size_t k = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    auto pixels = workingPixels(set[k++ % set.size()]);
    auto decoded = Clock::now();
    if (!pixels) return state.SkipWithError("no thumbnail");
    auto globalPrint = global.printPixels(*pixels);
    auto globalDone = Clock::now();
    auto print = printer.printPixels(*pixels);  // global part again, then the local part
    if (!print || !globalPrint) return state.SkipWithError("no print");
    benchmark::DoNotOptimize(print);
    auto end = Clock::now();
    decoding += decoded - start;
    globalPart += globalDone - decoded;
    total += (end - start) - (globalDone - decoded);  // the global part counted once
  }
  state.SetItemsProcessed(state.iterations());
  auto share = [&](Clock::duration d) { return total.count() ? double(d.count()) / double(total.count()) : 0.0; };
  state.counters["decode_share"] = share(decoding);
  state.counters["global_share"] = share(globalPart);
  state.counters["local_share"] = 1 - share(decoding) - share(globalPart);
}

// Prints of the JPEG photos and of 15 % crops of them.
struct PairPrints {
  std::vector<featureprint::FeaturePrint> photos, crops;
};
const PairPrints& pairPrints() {
  static const PairPrints prints = [] {
    PairPrints out;
    featureprint::VerifiedFeaturePrinter printer;
    for (const Bytes& b : photos(false)) {
      auto pixels = workingPixels(b);
      if (!pixels) continue;
      imaging::RgbPixels crop;
      crop.width = pixels->width * 85 / 100;
      crop.height = pixels->height * 85 / 100;
      for (int y = 0; y < crop.height; ++y) {
        auto row = pixels->rgb.begin() + 3 * (size_t(y) * pixels->width);
        crop.rgb.insert(crop.rgb.end(), row, row + 3 * crop.width);
      }
      auto whole = printer.printPixels(*pixels), part = printer.printPixels(crop);
      if (whole && part) out.photos.push_back(std::move(*whole)), out.crops.push_back(std::move(*part));
    }
    return out;
  }();
  return prints;
}

void PairDistance(benchmark::State& state) {
  const PairPrints& prints = pairPrints();
  if (prints.photos.size() < 2) return state.SkipWithError("corpus photos not found");
  const featureprint::FeaturePrinter& printer = featureprint::defaultFeaturePrinter();
  const bool near = state.range(0) == 0;
  size_t k = 0, n = prints.photos.size();
  for (auto _ : state) {
    size_t i = k++ % n;
    const auto& other = near ? prints.crops[i] : prints.photos[(i + 1) % n];
    auto d = printer.distance(prints.photos[i], other);
    if (!d) return state.SkipWithError("no distance");
    benchmark::DoNotOptimize(d);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(PrintFrom)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(GlobalPrintFrom)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(Decode)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(ThumbOnly)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(PrintStages)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PairDistance)->ArgName("far")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// ---- a whole verification job, as the host runs it ----

const char* const kTime = "/usr/bin/time";  // GNU time: CPU seconds and peak RSS of the child

struct JobRun {
  double seconds = 0;
  double cpuSeconds = 0;
  long maxRssKb = 0;
  size_t pairs = 0;
  bool ok = false;
};

JobRun runJob(const std::string& doc) {
  testsupport::RunOptions options;
  options.stdinData = doc;
  options.timeout = std::chrono::hours(1);
  testsupport::ProcessResult r =
      testsupport::runProcess({kTime, "-f", "%U %S %M", ALBUMSWEEP_BIN, "simverify", "--files", "--deadline", "inf"}, options);
  JobRun run;
  run.seconds = std::chrono::duration<double>(r.elapsed).count();
  std::istringstream err(r.err);
  for (std::string line; std::getline(err, line);)
    if (double user = 0, system = 0; std::sscanf(line.c_str(), "%lf %lf %ld", &user, &system, &run.maxRssKb) == 3)
      run.cpuSeconds = user + system;
  for (const std::string& line : testsupport::splitLines(r.out)) run.pairs += line.find("\"dist\"") != std::string::npos;
  run.ok = r.exitStatus == 0;
  return run;
}

int runJobs(const std::string& sizes) {
  std::vector<int> groupCounts;
  std::istringstream in(sizes);
  for (std::string n; std::getline(in, n, ',');)
    if (int g = std::atoi(n.c_str()); g > 0) groupCounts.push_back(g);
  if (groupCounts.empty()) return 2;

  testsupport::TempDir dir;
  std::vector<std::string> distinct;
  for (const char* name : {"canon-ixus.jpg", "fujifilm-dx10.jpg", "fujifilm-mx1700.jpg", "kodak-dc210.jpg",
                           "kodak-dc240.jpg", "nikon-e950.jpg", "olympus-c960.jpg", "olympus-d320l.jpg",
                           "ricoh-rdc5300.jpg", "sanyo-vpcg250.jpg", "sanyo-vpcsx550.jpg", "sony-cybershot.jpg"}) {
    Bytes b = twelveMegapixelJpeg(name);
    if (b.empty()) continue;
    distinct.push_back(dir.path() + "/distinct-" + std::to_string(distinct.size()) + ".jpg");
    std::ofstream(distinct.back(), std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  }
  if (distinct.empty()) {
    std::fprintf(stderr, "corpus photos not found\n");
    return 1;
  }
  // Every member its own path, so the job prints every one of them.
  int most = *std::max_element(groupCounts.begin(), groupCounts.end());
  std::vector<std::string> members;
  for (int m = 0; m < 3 * most; ++m) {
    members.push_back(dir.path() + "/member-" + std::to_string(m) + ".jpg");
    if (link(distinct[m % distinct.size()].c_str(), members.back().c_str()) != 0) return 1;
  }

  std::printf("%8s %8s %10s %10s %7s %10s %10s %7s %12s %7s\n", "groups", "pairs", "decode s", "job s", "ratio",
              "decode cpu", "job cpu", "ratio", "peak RSS MB", "ok");
  std::vector<std::pair<int, long>> peaks;
  for (int groups : groupCounts) {
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    std::clock_t cpuStart = std::clock();
    for (int m = 0; m < 3 * groups; ++m) {
      auto bytes = imaging::readRegularFile(members[m]);
      auto pixels = bytes ? workingPixels(*bytes) : std::nullopt;
      if (!pixels) return 1;
    }
    double decoding = std::chrono::duration<double>(Clock::now() - start).count();
    double decodingCpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::string doc = "{\"groups\":[";
    for (int g = 0; g < groups; ++g)
      doc += std::string(g ? "," : "") + "[\"" + members[3 * g] + "\",\"" + members[3 * g + 1] + "\",\"" +
             members[3 * g + 2] + "\"]";
    doc += "]}";
    JobRun job = runJob(doc);
    std::printf("%8d %8zu %10.2f %10.2f %7.2f %10.2f %10.2f %7.2f %12.1f %7s\n", groups, job.pairs, decoding,
                job.seconds, job.seconds / decoding, decodingCpu, job.cpuSeconds, job.cpuSeconds / decodingCpu,
                job.maxRssKb / 1024.0, job.ok && job.pairs == size_t(2 * groups) ? "yes" : "NO");
    peaks.push_back({groups, job.maxRssKb});
  }

  // What a cached print holds, and how much the peak grows per print.
  size_t printBytes = 0, prints = 0;
  for (const std::string& path : distinct)
    if (auto b = imaging::readRegularFile(path))
      if (auto p = featureprint::defaultFeaturePrinter().printFrom(*b))
        printBytes += p->values.size() * sizeof(float) + p->local.size(), ++prints;
  if (prints) std::printf("print payload: %zu bytes on average\n", printBytes / prints);
  std::sort(peaks.begin(), peaks.end());
  if (peaks.size() >= 2 && peaks.back().first > peaks.front().first)
    std::printf("peak RSS growth: %.0f bytes per cached print (%d -> %d groups)\n",
                double(peaks.back().second - peaks.front().second) * 1024 /
                    (3.0 * (peaks.back().first - peaks.front().first)),
                peaks.front().first, peaks.back().first);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  imaging::initImaging();
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--job") return runJobs(argv[i + 1]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
