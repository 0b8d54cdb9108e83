#include "photodupes/image_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "photolibrary/folder_library_names.h"

namespace photodupes {
namespace {

void walkFolder(const std::string& dir, const std::function<void(const std::string&)>& visit,
                const std::function<void(const std::string&, bool)>& beforeLookup) {
  if (beforeLookup) beforeLookup(dir, true);
  DIR* d = opendir(dir.c_str());
  if (!d) return;  // unreadable (or gone): passed over
  // The folder is listed and closed before its subfolders are walked, so a
  // listing that blocks is always the one last announced.
  std::vector<std::string> subfolders;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || photolibrary::folder::isHiddenName(name)) continue;
    const std::string path = dir + "/" + name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      if (beforeLookup) beforeLookup(path, false);
      struct stat st;
      if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_DIR) {
      subfolders.push_back(path);
    } else if (type == DT_REG) {
      const auto kind = photolibrary::folder::fileKindOf(name);
      if (kind == photolibrary::folder::FileKind::kImage || kind == photolibrary::folder::FileKind::kRawImage)
        visit(path);
    }
  }
  closedir(d);
  for (const std::string& sub : subfolders) walkFolder(sub, visit, beforeLookup);
}

}  // namespace

void forEachImageFile(const std::string& root, const std::function<void(const std::string& path)>& visit,
                      const std::function<void(const std::string& path, bool folder)>& beforeLookup) {
  walkFolder(root, visit, beforeLookup);
}

}  // namespace photodupes
