#include "photodupes/library_probe.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "photodupes/child_process.h"
#include "photodupes/file_state.h"
#include "photodupes/image_walk.h"
#include "photolibrary/folder_library_names.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

std::string folderOf(const std::string& path) { return fs::path(path).parent_path().string(); }

bool below(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

}  // namespace

KnownStats statKnownFiles(const std::vector<Photo>& photos, std::chrono::milliseconds quiet) {
  KnownStats out;
  std::vector<std::size_t> todo(photos.size());
  for (std::size_t k = 0; k < todo.size(); ++k) todo[k] = k;
  std::vector<std::string> silentFolders;
  std::vector<std::uint64_t> silentDevices;
  while (!todo.empty()) {
    ForkedResult r = runForked(
        [&](ForkedSteps& steps) {
          for (std::size_t k : todo) {
            steps.step(std::to_string(k));
            std::optional<FileStat> st = statFile(photos[k].path);
            char line[160];
            if (st)
              std::snprintf(line, sizeof line, "%zu %" PRIu64 " %" PRIu64 " %" PRId64 " %" PRId64 " %" PRId64, k, st->dev,
                            st->ino, st->size, st->mtimeNs, st->ctimeNs);
            else
              std::snprintf(line, sizeof line, "%zu -", k);
            steps.record(line);
          }
        },
        {quiet, std::chrono::milliseconds(0)});
    for (const std::string& rec : r.records) {
      std::size_t k = 0;
      FileStat st;
      if (std::sscanf(rec.c_str(), "%zu %" SCNu64 " %" SCNu64 " %" SCNd64 " %" SCNd64 " %" SCNd64, &k, &st.dev, &st.ino,
                      &st.size, &st.mtimeNs, &st.ctimeNs) == 6 &&
          k < photos.size())
        out.byId[photos[k].id] = st;
    }
    if (!r.silent || r.stuckAt.empty()) break;
    const std::size_t stuck = std::stoul(r.stuckAt);
    const Photo& silent = photos[stuck];
    out.silent.push_back(silent.path);
    if (out.silent.size() >= 2) break;
    silentFolders.push_back(folderOf(silent.path));
    if (silent.stat) silentDevices.push_back(silent.stat->dev);
    std::vector<std::size_t> rest;
    for (std::size_t k : todo) {
      if (k == stuck || out.byId.count(photos[k].id)) continue;
      const Photo& p = photos[k];
      const bool passedOver =
          std::any_of(silentFolders.begin(), silentFolders.end(), [&](const std::string& f) { return below(p.path, f); }) ||
          (p.stat && std::find(silentDevices.begin(), silentDevices.end(), p.stat->dev) != silentDevices.end());
      if (!passedOver) rest.push_back(k);
    }
    todo = std::move(rest);
  }
  return out;
}

Unscanned lookForUnscanned(const std::string& root, const std::set<std::string>& seen, bool probe,
                           std::chrono::milliseconds quiet) {
  Unscanned out;
  const auto started = std::chrono::steady_clock::now();
  ForkedResult walk = runForked(
      [&](ForkedSteps& steps) {
        forEachImageFile(
            root,
            [&](const std::string& path) {
              if (!seen.count(photolibrary::folder::identifierFromPath(path.substr(root.size() + 1))))
                steps.record(path);
            },
            [&](const std::string& path, bool folder) { steps.step((folder ? "d" : "f") + path); });
      },
      {quiet, 2 * quiet});
  out.interrupted = walk.interrupted;
  out.listed = walk.finished;
  std::map<std::string, int> count;
  for (const std::string& path : walk.records) ++count[fs::path(path.substr(root.size() + 1)).parent_path().string()];
  out.folders.assign(count.begin(), count.end());
  std::stable_sort(out.folders.begin(), out.folders.end(), [](auto& a, auto& b) { return a.second > b.second; });
  if (walk.silent && walk.stuckAt.size() > 1) {
    out.silent = walk.stuckAt.substr(1);
    out.silentIsFolder = walk.stuckAt[0] == 'd';
    return out;
  }
  // The probe has what is left of the walk's time.
  const auto left = 2 * quiet - std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - started);
  if (!probe || !walk.finished || walk.records.empty() || left.count() <= 0) return out;
  ForkedResult probed = runForked(
      [&](ForkedSteps& steps) {
        for (const std::string& path : walk.records) {
          steps.step(path);
          const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) continue;
          char byte;
          if (read(fd, &byte, 1) < 0) {
            // A file that fails to read answers: the scan reports it as a failure.
          }
          close(fd);
        }
      },
      {quiet, left});
  out.interrupted = out.interrupted || probed.interrupted;
  if (probed.silent && !probed.stuckAt.empty()) out.silent = probed.stuckAt;
  return out;
}

}  // namespace photodupes
