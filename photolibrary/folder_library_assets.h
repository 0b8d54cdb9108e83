// The assets of one folder of the folder library: the regular media files a
// listing holds, and the entry of one group of them (one asset), dated and
// sized from its primary file's header. Internal to the folder_library
// target; the walk and the identifier lookup both build on it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "photolibrary/folder_library.h"
#include "photolibrary/folder_library_internal.h"
#include "photolibrary/folder_library_names.h"

namespace photolibrary::folder {

struct DirEntry {
  std::string name;
  unsigned char type;
};

// The entries of the open folder `dirFd`, without "." and "..": nothing
// when it cannot be listed.
std::vector<DirEntry> listFolder(int dirFd);

// The regular media files of a folder listing, with their lstat. With
// `stems`, only files of those stems are looked at.
struct MediaFiles {
  std::vector<std::pair<std::string, FileKind>> files;
  std::map<std::string, struct stat> stats;
  std::vector<std::string> folders;  // subfolders (not links)
};

MediaFiles mediaFilesOf(int dirFd, const std::vector<DirEntry>& entries, const std::set<std::string>* stems);

// The asset of one group of files in the open folder `dirFd` (the folder
// `relDir` below the root), whose primary file had the lstat `st`. Its
// header is read where the storage allows (see folder_library.cc); with
// dirFd < 0 (the folder went away since the walk) it keeps its file dates.
Entry makeEntry(int dirFd, const std::string& relDir, bool hiddenFolder, const FileGroup& group,
                const struct stat& st, const FolderLibraryProbes& probes, bool networkAccessAllowed);

}  // namespace photolibrary::folder
