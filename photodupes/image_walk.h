// Walks a folder tree for image files the way the folder photo library
// does: symbolic links are not followed, hidden entries (and everything
// below a hidden folder) are passed over, unreadable folders are skipped,
// and a file is an image by its extension.
#pragma once

#include <functional>
#include <string>

namespace photodupes {

// Calls `visit` with the path of every regular image file below `root`.
// `beforeLookup`, when given, is called with a folder's path (folder: true)
// before that folder is opened and listed, and with an entry's path (false)
// before the entry is looked up (only where the listing does not tell its
// type): the calls that block when the storage stops answering.
void forEachImageFile(const std::string& root, const std::function<void(const std::string& path)>& visit,
                      const std::function<void(const std::string& path, bool folder)>& beforeLookup = {});

}  // namespace photodupes
