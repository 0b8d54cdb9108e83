#include "photodupes/cli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "photodupes/candidates.h"
#include "photodupes/catalog.h"
#include "photodupes/child_process.h"
#include "photodupes/current_groups.h"
#include "photodupes/file_state.h"
#include "photodupes/files.h"
#include "photodupes/grouping.h"
#include "photodupes/output.h"
#include "photodupes/report.h"
#include "photodupes/review_backend.h"
#include "photodupes/scan.h"
#include "photodupes/verify.h"
#include "platform/folder_library.h"

#ifndef PHOTODUPES_VERSION
#define PHOTODUPES_VERSION "0.1.0"
#endif

namespace photodupes {
namespace {

namespace fs = std::filesystem;

const char* kHelp = R"(Usage: photodupes [--catalog FILE] COMMAND [OPTIONS]

Finds duplicate photos in a photo library (a folder tree) and shows them.
Nothing photodupes does modifies, moves or deletes a photo.

Commands:
  scan [--library DIR] [--deadline S] [--allow-cloud]
      Fingerprints the library's photos into its catalog; photos already
      known and unchanged are not read again. --deadline stops after S
      seconds (the next scan goes on from there); --allow-cloud also reads
      files on network mounts and files not stored locally.
  groups [--library DIR] [--json | --not-kept [-0]] [--radius N]
      Prints the groups of exact duplicates (same bytes) and near
      duplicates (the same picture resized, re-encoded, cropped...), each
      with its suggested keeper and the bytes the others take. --json for
      scripts; --not-kept lists the files not kept, -0 zero-separated
      (photodupes groups --not-kept -0 | xargs -0 gio trash).
  report [--library DIR] [-o FILE] [--radius N]
      Writes an HTML page of the groups with thumbnails (default
      photodupes-report.html).
  review [--library DIR] [--port N] [--no-browser]
      Serves a page on this computer only (127.0.0.1) on which you go
      through the groups, choose keepers, say what is not a duplicate, move
      the copies to the Trash and put them back. Prints the page's address
      (usable once, within a minute) and opens it in your browser when a
      desktop session is there, unless --no-browser. Runs until Ctrl-C or
      the page's Finish button.
  files DIR... [--json | --not-kept [-0] | -o FILE] [--radius N]
      The same for any folders of image files (also read-only ones), with a
      catalog of their own; prints the groups, or writes the report with -o.

Keeper: the most pixels of its own content (flat borders a copy added do
not count), then the least loss (colour over grey, no added borders, the
camera's own raw, HEIC or JPEG file over a conversion, the larger file in
the same format), then a capture date from the camera, the oldest capture
date, the oldest modification time, and the shortest path. Raw files are
never listed for removal. Before groups are printed, every member's file is
checked against the catalog: photos changed since the last scan are left out.
The library is --library DIR, else your pictures folder (XDG_PICTURES_DIR,
else ~/Pictures). Catalogs live in $XDG_STATE_HOME/photodupes (else
~/.local/state/photodupes), one per library, unless --catalog FILE is given.

Exit status: 0 done; 1 an error was printed (also a scan that stalled);
2 bad usage.
)";

struct Args {
  std::string command;
  std::vector<std::string> operands;
  std::optional<std::string> catalog, library, output;
  std::optional<double> deadline;
  bool allowCloud = false, json = false, notKept = false, zero = false, noBrowser = false;
  int port = 0;
  int radius = kDefaultRadius;
};

std::string absolutePath(const std::string& dir) {
  std::string p = fs::absolute(fs::path(dir)).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

int usage(const std::string& why) {
  std::fprintf(stderr, "photodupes: %s\nTry `photodupes --help`.\n", why.c_str());
  return kExitUsage;
}

}  // namespace

int run(const std::vector<std::string>& argv) {
  Args a;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& t = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argv.size()) return std::nullopt;
      return argv[++i];
    };
    if (t == "--help" || t == "-h") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (t == "--version") {
      std::printf("photodupes %s\n", PHOTODUPES_VERSION);
      return kExitOk;
    } else if (t == "--catalog" || t == "--library" || t == "-o" || t == "--deadline" || t == "--radius" ||
               t == "--port") {
      auto v = value();
      if (!v) return usage(t + " needs a value");
      if (t == "--catalog") a.catalog = *v;
      if (t == "--library") a.library = *v;
      if (t == "-o") a.output = *v;
      if (t == "--deadline") {
        char* end = nullptr;
        double s = std::strtod(v->c_str(), &end);
        if (v->empty() || *end || !(s > 0)) return usage("--deadline takes a number of seconds");
        a.deadline = s;
      }
      if (t == "--port") {
        char* end = nullptr;
        long n = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end || n < 1 || n > 65535) return usage("--port takes a port number from 1 to 65535");
        a.port = static_cast<int>(n);
      }
      if (t == "--radius") {
        char* end = nullptr;
        long r = std::strtol(v->c_str(), &end, 10);
        if (v->empty() || *end || r < 0 || r > 32) return usage("--radius takes a number of bits from 0 to 32");
        a.radius = static_cast<int>(r);
      }
    } else if (t == "--allow-cloud") {
      a.allowCloud = true;
    } else if (t == "--no-browser") {
      a.noBrowser = true;
    } else if (t == "--json") {
      a.json = true;
    } else if (t == "--not-kept") {
      a.notKept = true;
    } else if (t == "-0") {
      a.zero = true;
    } else if (t.size() > 1 && t[0] == '-') {
      return usage("unknown option " + t);
    } else if (a.command.empty()) {
      a.command = t;
    } else {
      a.operands.push_back(t);
    }
  }
  if (a.command.empty()) return usage("no command given");
  if (a.command != "files" && !a.operands.empty()) return usage("unexpected argument " + a.operands.front());
  if (a.zero && !a.notKept) return usage("-0 goes with --not-kept");
  if (a.json && a.notKept) return usage("choose --json or --not-kept");

  try {
    const std::string albumsweep = helperProgram("PHOTODUPES_ALBUMSWEEP", "albumsweep");
    const Format format = a.json ? Format::kJson : a.notKept ? Format::kNotKept : Format::kText;
    if (a.command == "files") {
      if (a.operands.empty()) return usage("files needs at least one folder");
      FilesRequest req;
      for (const std::string& d : a.operands) req.folders.push_back(absolutePath(d));
      req.twinspot = helperProgram("PHOTODUPES_TWINSPOT", "twinspot");
      req.albumsweep = albumsweep;
      req.catalogFile = a.catalog;
      req.radius = a.radius;
      req.format = format;
      req.zero = a.zero;
      req.reportFile = a.output;
      return runFiles(req, stdout, stderr);
    }
    const std::string root = absolutePath(a.library ? *a.library : platform::libraryRootFromArgs({"photodupes"}));
    const std::string file = a.catalog ? *a.catalog : defaultCatalogFile("library", root);
    if (a.command == "scan") {
      auto catalog = Catalog::open(file, "library", root, Catalog::Access::kWrite);
      ScanRequest req{root, a.deadline, a.allowCloud, albumsweep, isatty(STDERR_FILENO) == 1};
      return runScan(*catalog, req, stderr);
    }
    if (a.command == "review") {
      LibraryContext library{root, albumsweep, a.radius};
      return runReview(file, library, helperProgram("PHOTODUPES_TWINSPOT", "twinspot"), a.port, !a.noBrowser,
                       stdout);
    }
    if (a.command == "groups" || a.command == "report") {
      auto catalog = Catalog::open(file, "library", root, Catalog::Access::kRead);
      const bool report = a.command == "report";
      std::vector<Photo> photos = catalog->photos(report);
      completeThumbHashes(*catalog, photos);
      VerifySource source{albumsweep, root, catalog->meta("allow_cloud") == "1"};
      const auto current =
          currentGroups(photos, a.radius, kNearPrintThreshold,
                        cachedVerifier(*catalog, photos, measurerOf(albumsweep), simverifyVerifier(photos, source)),
                        statFile);
      if (auto notice = changedNotice(current.changed, "run `photodupes scan`"); !notice.empty())
        std::fprintf(stderr, "photodupes: %s\n", notice.c_str());
      const auto& groups = current.groups;
      if (!report) {
        writeGroups(stdout, photos, groups, format, a.zero);
        return kExitOk;
      }
      const std::string out = a.output.value_or("photodupes-report.html");
      writeReport(out, photos, groups, "library " + root);
      std::printf("%s\n", out.c_str());
      return kExitOk;
    }
    return usage("unknown command " + a.command);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "photodupes: %s\n", e.what());
    return kExitFailure;
  }
}

}  // namespace photodupes
