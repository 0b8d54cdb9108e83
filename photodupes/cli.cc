#include "photodupes/cli.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>

#include "photodupes/act.h"
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
#include "photodupes/trash.h"
#include "photodupes/verify.h"
#include "jsonlines/text.h"
#include "photolibrary/folder_library.h"

#ifndef PHOTODUPES_VERSION
#define PHOTODUPES_VERSION "0.1.0"
#endif

namespace photodupes {
namespace {

namespace fs = std::filesystem;

const char* kHelp = R"(Usage: photodupes [--catalog FILE] COMMAND [OPTIONS]

Finds duplicate photos in a photo library (a folder tree) and shows them.
photodupes moves files only to the Trash, only when asked, only after
checking them again, and can put them back. Nothing is ever deleted.

Commands:
  scan [--library DIR] [--deadline S] [--allow-cloud] [--verbose]
      Fingerprints the library's photos into its catalog; photos already
      known and unchanged are not read again. --deadline stops after S
      seconds (the next scan goes on from there); --allow-cloud also reads
      files on network mounts and files not stored locally; --verbose lists
      the files that could not be read. Ctrl-C keeps what was scanned. Runs
      in rounds of 120 s; a file or folder that does not answer (a dead
      mount) ends the scan within 5 minutes, named, keeping what was scanned.
  groups [--library DIR] [--json | --not-kept [-0]] [--radius N]
         [--keep-in DIR]... [--keep-in-clear] [--show-ignored]
      Prints the groups of exact duplicates (same bytes) and near
      duplicates (the same picture resized, re-encoded, cropped...), each
      with its keeper and the bytes the others take, with your decisions
      applied. --json for scripts; --not-kept lists the files not kept, -0
      zero-separated. --show-ignored lists the photos you called not
      duplicates instead.
  report [--library DIR] [-o FILE] [--radius N] [--keep-in DIR]...
      Writes an HTML page of the groups with thumbnails (default
      photodupes-report.html).
  review [--library DIR] [--port N] [--no-browser] [--keep-in DIR]...
      Serves a page on this computer only (127.0.0.1) on which you go
      through the groups, choose keepers, say what is not a duplicate, move
      the copies to the Trash and put them back. Prints the page's address
      (usable once, within a minute) and opens it in your browser when a
      desktop session is there, unless --no-browser. Runs until Ctrl-C or
      the page's Finish button.
  trash [--library DIR] [--dry-run] [--json] [--keep-in DIR]...
      Moves the files not kept of the current groups to the Trash, each
      after checking it and the file that stays again; files that fail a
      check are skipped and listed. --dry-run checks and moves nothing.
  undo [--library DIR] [--list] [BATCH]
      Puts the files of the last batch moved to the Trash (or of BATCH)
      back where they were; --list shows the batches.
  files DIR... [--json | --not-kept [-0] | -o FILE] [--radius N] [--verbose]
      The same for any folders of image files (also read-only ones), with a
      catalog of their own; prints the groups, or writes the report with -o.

Reference folders: --keep-in DIR (repeatable; a folder inside the library)
marks files below DIR as always kept and never moved; they are remembered
in the catalog until --keep-in-clear.

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

Options that do not go with a command are refused; -- ends the options.
With --catalog FILE and no --library, the library is the catalog's own.

Exit status: 0 done; 1 an error was printed (also a scan that stalled, and
output that could not be written); 2 bad usage; 130 or 143 a scan stopped
by SIGINT or SIGTERM, which keeps what it scanned.
)";

struct Args {
  std::string command;
  std::vector<std::string> operands;
  std::optional<std::string> catalog, library, output;
  std::optional<double> deadline;
  bool allowCloud = false, json = false, notKept = false, zero = false, verbose = false, noBrowser = false;
  bool dryRun = false, list = false, showIgnored = false, keepInClear = false;
  std::vector<std::string> keepIn;
  std::optional<std::int64_t> batch;  // undo's operand
  int port = 0;
  int radius = kDefaultRadius;
};

std::string absolutePath(const std::string& dir) {
  std::string p = fs::absolute(fs::path(dir)).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// The options each command takes (besides --catalog, which all take).
const std::map<std::string, std::string> kOptions = {
    {"scan", " --library --deadline --allow-cloud --verbose "},
    {"groups", " --library --json --not-kept -0 --radius --keep-in --keep-in-clear --show-ignored "},
    {"report", " --library -o --radius --keep-in --keep-in-clear "},
    {"files", " --json --not-kept -0 -o --radius --verbose "},
    {"trash", " --library --dry-run --json --radius --keep-in --keep-in-clear "},
    {"undo", " --library --list --json "},
    {"review", " --library --port --no-browser --radius --keep-in --keep-in-clear "},
};

// A positive number of seconds (or "inf") from the environment variable
// `name`; nothing when it is unset or not such a number.
std::optional<double> secondsFromEnvironment(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  char* end = nullptr;
  const double s = std::strtod(v, &end);
  if (*end || !(s > 0)) return std::nullopt;
  return s;
}

int usage(const std::string& why) {
  std::fprintf(stderr, "photodupes: %s\nTry `photodupes --help`.\n", why.c_str());
  return kExitUsage;
}

// A trash or undo outcome, as text or JSON; the exit status.
int writeOutcome(const ActOutcome& o, const std::string& what, bool json) {
  const bool undo = what == "undo";
  if (json) {
    nlohmann::json files = nlohmann::json::array();
    for (const FileOutcome& f : o.files) {
      nlohmann::json j = {{"path", jsonlines::validUtf8(f.path)}, {"row", f.row}, {"bytes", f.bytes},
                          {"state", f.state}};
      if (!f.reason.empty()) j["reason"] = f.reason;
      if (!f.trashFile.empty()) j["trash"] = jsonlines::validUtf8(f.trashFile);
      files.push_back(std::move(j));
    }
    nlohmann::json doc = {{"batch", o.batch}, {undo ? "restored" : "moved", o.done}, {"skipped", o.skipped},
                          {"bytes", o.bytes}, {"files", std::move(files)}};
    std::printf("%s\n", doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  for (const FileOutcome& f : o.files) {
    if (f.reason.empty())
      std::printf("%s %s\n", f.state.c_str(), jsonlines::validUtf8(f.path).c_str());
    else
      std::printf("%s %s: %s\n", f.state.c_str(), jsonlines::validUtf8(f.path).c_str(), f.reason.c_str());
  }
  if (undo && o.batch == 0)
    std::printf("Nothing to put back: no batch has files in the Trash.\n");
  else if (undo)
    std::printf("%zu files (%s) put back from batch %lld; %zu not.\n", o.done, humanBytes(o.bytes).c_str(),
                static_cast<long long>(o.batch), o.skipped);
  else if (o.batch == 0 && o.skipped == 0 && o.done == 0)
    std::printf("Nothing to move.\n");
  else if (o.batch == 0)
    std::printf("%zu files (%s) would move to the Trash; %zu skipped.\n", o.done, humanBytes(o.bytes).c_str(),
                o.skipped);
  else
    std::printf("%zu files (%s) moved to the Trash in batch %lld; %zu skipped. `photodupes undo %lld` puts them back.\n",
                o.done, humanBytes(o.bytes).c_str(), static_cast<long long>(o.batch), o.skipped,
                static_cast<long long>(o.batch));
  return kExitOk;
}

int runTrash(Catalog& catalog, const LibraryContext& library, bool dryRun, bool json) {
  auto env = systemTrashEnv();
  return writeOutcome(moveToTrash(catalog, library, *env, dryRun), "trash", json);
}

void writeBatches(std::FILE* out, Catalog& catalog) {
  for (const TrashBatch& b : catalog.batches()) {
    std::time_t t = static_cast<std::time_t>(b.started);
    std::tm tm{};
    localtime_r(&t, &tm);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &tm);
    std::fprintf(out, "%lld  %s  %lld in the Trash, %lld put back, %lld skipped\n", static_cast<long long>(b.batch),
                 when, static_cast<long long>(b.moved), static_cast<long long>(b.restored),
                 static_cast<long long>(b.skipped));
  }
}

// The pairs of photos called not duplicates, by the paths holding each content now.
void writeIgnored(std::FILE* out, Catalog& catalog, bool json) {
  std::map<std::string, std::vector<std::string>> pathsOf;
  for (const Photo& p : catalog.photos(false)) pathsOf[p.sha].push_back(jsonlines::validUtf8(p.path));
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [a, b] : catalog.decisions().notDuplicates) {
    const auto& pa = pathsOf[a];
    const auto& pb = pathsOf[b];
    if (pa.empty() || pb.empty()) continue;
    if (json) {
      list.push_back({{"a", pa}, {"b", pb}});
      continue;
    }
    std::fprintf(out, "not duplicates:\n");
    for (const auto& p : pa) std::fprintf(out, "  %s\n", p.c_str());
    if (a != b)
      for (const auto& p : pb) std::fprintf(out, "  %s\n", p.c_str());
  }
  if (json) std::fprintf(out, "%s\n", nlohmann::json({{"not_duplicates", list}}).dump().c_str());
}

// Reads the command line into `a`; the exit status when it ends the run
// (help, version, bad usage).
std::optional<int> parseArgs(const std::vector<std::string>& argv, Args& a) {
  std::vector<std::string> given;  // the options, to check against the command's
  bool endOfOptions = false;
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
    } else if (t == "--" && !endOfOptions) {
      endOfOptions = true;
      continue;
    } else if (endOfOptions || t.size() < 2 || t[0] != '-') {
      if (a.command.empty())
        a.command = t;
      else
        a.operands.push_back(t);
      continue;
    }
    given.push_back(t);
    if (t == "--keep-in") {
      auto v = value();
      if (!v) return usage(t + " needs a folder");
      a.keepIn.push_back(*v);
    } else if (t == "--keep-in-clear" || t == "--dry-run" || t == "--list" || t == "--show-ignored") {
      (t == "--keep-in-clear" ? a.keepInClear : t == "--dry-run" ? a.dryRun : t == "--list" ? a.list : a.showIgnored) =
          true;
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
    } else if (t == "--verbose") {
      a.verbose = true;
    } else {
      return usage("unknown option " + t);
    }
  }
  if (a.command.empty()) return usage("no command given");
  const auto allowed = kOptions.find(a.command);
  if (allowed == kOptions.end()) return usage("unknown command " + a.command);
  for (const std::string& o : given)
    if (o != "--catalog" && allowed->second.find(" " + o + " ") == std::string::npos)
      return usage(o + " does not go with " + a.command);
  if (a.command != "files" && !(a.command == "undo" && a.operands.size() == 1) && !a.operands.empty())
    return usage("unexpected argument " + a.operands.front());
  if (a.command == "undo" && !a.operands.empty()) {
    char* end = nullptr;
    const long long b = std::strtoll(a.operands[0].c_str(), &end, 10);
    if (a.operands[0].empty() || *end || b <= 0) return usage("undo takes a batch number");
    a.batch = b;
  }
  if (a.zero && !a.notKept) return usage("-0 goes with --not-kept");
  if (a.json && a.notKept) return usage("choose --json or --not-kept");
  return std::nullopt;
}

// `photodupes files`: the folders given, with a catalog of their own.
int runFilesCommand(const Args& a, const std::string& albumsweep, Format format) {
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
  req.verbose = a.verbose;
  return runFiles(req, stdout, stderr);
}

// The command the arguments name; throws what the catalog or a helper throws.
int runCommand(const Args& a) {
  const std::string albumsweep = helperProgram("PHOTODUPES_ALBUMSWEEP", "albumsweep");
  const Format format = a.json ? Format::kJson : a.notKept ? Format::kNotKept : Format::kText;
  if (a.command == "files") return runFilesCommand(a, albumsweep, format);
  // The library: --library, else the one the catalog given belongs to, else the pictures folder.
  std::optional<std::string> fromCatalog;
  if (!a.library && a.catalog && fs::exists(*a.catalog)) fromCatalog = Catalog::sourceOf(*a.catalog, "library");
  const std::string root = a.library    ? absolutePath(*a.library)
                           : fromCatalog ? *fromCatalog
                                         : absolutePath(photolibrary::libraryRootFromArgs({"photodupes"}));
  const std::string file = a.catalog ? *a.catalog : defaultCatalogFile("library", root);
  if (a.command == "scan") {
    auto catalog = Catalog::open(file, "library", root, Catalog::Access::kWrite);
    ScanRequest req{root, a.deadline, a.allowCloud, albumsweep, isatty(STDERR_FILENO) == 1, a.verbose};
    // The length of a round and how long photodupes' own look at the
    // files may go unanswered, for tests and for tuning.
    if (auto s = secondsFromEnvironment("PHOTODUPES_ROUND_SECONDS")) req.roundSeconds = *s;
    if (auto s = secondsFromEnvironment("PHOTODUPES_QUIET_SECONDS"); s && std::isfinite(*s))
      req.quiet = std::chrono::milliseconds(static_cast<long long>(*s * 1000));
    return runScan(*catalog, req, stderr);
  }
  const LibraryContext library{root, albumsweep, a.radius, kNearPrintThreshold};
  const bool keepInGiven = !a.keepIn.empty() || a.keepInClear;
  if (keepInGiven && a.command != "groups" && a.command != "report" && a.command != "trash" &&
      a.command != "review")
    return usage("--keep-in goes with groups, report, review and trash");
  if (a.command == "review") {
    if (keepInGiven) {
      auto catalog = Catalog::open(file, "library", root, Catalog::Access::kWrite);
      rememberKeepIn(*catalog, root, a.keepIn, a.keepInClear);
    }
    return runReview(file, library, helperProgram("PHOTODUPES_TWINSPOT", "twinspot"), a.port, !a.noBrowser,
                     stdout);
  }
  if (a.command == "groups" || a.command == "report" || a.command == "trash") {
    const bool trash = a.command == "trash";
    auto catalog = Catalog::open(file, "library", root,
                                 trash || keepInGiven ? Catalog::Access::kWrite : Catalog::Access::kRead);
    if (keepInGiven) rememberKeepIn(*catalog, root, a.keepIn, a.keepInClear);
    if (trash) return runTrash(*catalog, library, a.dryRun, a.json);
    const bool report = a.command == "report";
    if (a.showIgnored) {
      writeIgnored(stdout, *catalog, a.json);
      return kExitOk;
    }
    DecidedGroups decided = decidedGroups(*catalog, library, report);
    if (auto notice = changedNotice(decided.current.changed, "run `photodupes scan`"); !notice.empty())
      std::fprintf(stderr, "photodupes: %s\n", notice.c_str());
    const auto& groups = decided.current.groups;
    if (!report) return printGroups(stdout, stderr, decided.photos, groups, format, a.zero);
    const std::string out = a.output.value_or("photodupes-report.html");
    writeReport(out, decided.photos, groups, "library " + root);
    std::printf("%s\n", out.c_str());
    return finishOutput(stdout, stderr);
  }
  if (a.command == "undo") {
    auto catalog = Catalog::open(file, "library", root, Catalog::Access::kWrite);
    if (a.list) {
      writeBatches(stdout, *catalog);
      return kExitOk;
    }
    auto env = systemTrashEnv();
    return writeOutcome(undoBatch(*catalog, library, *env, a.batch), "undo", a.json);
  }
  return usage("unknown command " + a.command);
}

}  // namespace

int run(const std::vector<std::string>& argv) {
  Args a;
  if (auto status = parseArgs(argv, a)) return *status;
  try {
    return runCommand(a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "photodupes: %s\n", e.what());
    return kExitFailure;
  }
}

}  // namespace photodupes
