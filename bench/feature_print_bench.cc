// Feature prints of 12-megapixel photos.
//
// JPEG: three corpus photos upscaled to 4000 x 3000 and saved at quality 90
// when the benchmark starts. HEIF: the corpus' two 12-megapixel HMD Nokia
// photos as they are. Reported:
//   PrintFrom/*     the whole print (items_per_second = prints per second,
//                   wall time: libvips decodes on its own threads)
//   ThumbOnly/*     imaging::thumbFrom alone, at the printer's bound
//   PrintStages/*   the print done stage by stage; decode_share is the part
//                   of each print spent in thumbFrom, measured in the same
//                   iterations
#include <vips/vips.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "imaging/imaging.h"
#include "platform/feature_print.h"

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

void PrintFrom(benchmark::State& state) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  const platform::FeaturePrinter& printer = platform::defaultFeaturePrinter();
  size_t k = 0;
  for (auto _ : state) {
    auto print = printer.printFrom(set[k++ % set.size()]);
    if (!print) return state.SkipWithError("no print");
    benchmark::DoNotOptimize(print);
  }
  state.SetItemsProcessed(state.iterations());
}

void ThumbOnly(benchmark::State& state) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  size_t k = 0;
  for (auto _ : state) {
    auto thumb = imaging::thumbFrom(set[k++ % set.size()], platform::LayoutFeaturePrinter::kThumbBound);
    if (!thumb) return state.SkipWithError("no thumbnail");
    benchmark::DoNotOptimize(thumb);
  }
  state.SetItemsProcessed(state.iterations());
}

void PrintStages(benchmark::State& state) {
  const auto& set = photos(state.range(0));
  if (set.empty()) return state.SkipWithError("corpus photos not found");
  platform::LayoutFeaturePrinter printer;
  using Clock = std::chrono::steady_clock;
  Clock::duration decoding{}, total{};
  size_t k = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    auto thumb = imaging::thumbFrom(set[k++ % set.size()], platform::LayoutFeaturePrinter::kThumbBound);
    auto decoded = Clock::now();
    if (!thumb) return state.SkipWithError("no thumbnail");
    auto pixels = imaging::rgbPixels(thumb->image);
    auto print = pixels ? printer.printPixels(*pixels) : std::nullopt;
    if (!print) return state.SkipWithError("no print");
    benchmark::DoNotOptimize(print);
    decoding += decoded - start;
    total += Clock::now() - start;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["decode_share"] = total.count() ? double(decoding.count()) / double(total.count()) : 0.0;
}

BENCHMARK(PrintFrom)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ThumbOnly)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(PrintStages)->ArgName("heif")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  imaging::initImaging();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
