// Starting libvips once per process and setting what every decode obeys:
// no operation cache, log messages dropped (nothing may reach stderr),
// loaders libvips marks untrusted blocked (PDF, SVG, JPEG 2000, ImageMagick
// and the like: large attack surfaces, and photo libraries do not hold such
// files as pictures), no run-time code generation, and the number of
// threads one decode may use.
#include "imaging/image.h"

#include <vips/vips.h>
// After vips.h, which it needs; vips.h does not include it.
#include <vips/vector.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "imaging/decoders.h"
#include "imaging/internal.h"

namespace imaging {

namespace {

// Threads one decode may use; 0 until set (then: every core).
std::atomic<int> threadsPerDecode{0};

// Swallows every GLib log message: the programs write nothing to stderr.
void swallowLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

}  // namespace

namespace detail {

int decodeThreads() {
  int n = threadsPerDecode.load();
  return n > 0 ? n : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

bool vipsReady() {
  static bool ready = false;
  static std::once_flag once;
  std::call_once(once, [] {
    const GLogLevelFlags all = static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
    for (const char* domain : {"VIPS", "GLib", "GLib-GObject", "GModule", "GLib-GIO"})
      g_log_set_handler(domain, all, swallowLog, nullptr);
    g_log_set_default_handler(swallowLog, nullptr);
    ready = vips_init("imaging") == 0;
    if (!ready) return;
    vips_cache_set_max(0);
    vips_cache_set_max_mem(0);
    vips_cache_set_max_files(0);
    vips_block_untrusted_set(TRUE);
    // No run-time code generation: the generator (orc) writes and removes
    // a file in $XDG_RUNTIME_DIR, $HOME, $TMPDIR or /tmp to map its code,
    // and the programs create no file anywhere. libvips' plain C loops
    // give the same pixels.
    vips_vector_set_enabled(FALSE);
    vips_leak_set(FALSE);  // VIPS_LEAK in the environment would report at exit
    // Fixed here so that no environment variable changes the behaviour.
    vips_concurrency_set(decodeThreads());
    vips_error_clear();
    startBmpDecoder();
  });
  return ready;
}

}  // namespace detail

void initImaging() { detail::vipsReady(); }

void setThreadsPerDecode(int threads) {
  threadsPerDecode.store(std::max(1, threads));
  if (detail::vipsReady()) vips_concurrency_set(detail::decodeThreads());
}

}  // namespace imaging
