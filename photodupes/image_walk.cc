#include "photodupes/image_walk.h"

#include <filesystem>

#include "platform/folder_library_names.h"

namespace photodupes {

void forEachImageFile(const std::string& root, const std::function<void(const std::string& path)>& visit) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (platform::folder::isHiddenName(name)) {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    const auto kind = platform::folder::fileKindOf(name);
    if (kind == platform::folder::FileKind::kImage || kind == platform::folder::FileKind::kRawImage)
      visit(it->path().string());
  }
}

}  // namespace photodupes
