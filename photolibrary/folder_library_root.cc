// The folder a run uses as its library: the one "--library" names, else
// the user's pictures folder.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>

#include "photolibrary/folder_library.h"

namespace photolibrary {
namespace {

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr)
    return result->pw_dir;
  return "/";
}

}  // namespace

std::optional<std::string> picturesDirFromUserDirs(const std::string& text, const std::string& home) {
  std::optional<std::string> found;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    constexpr std::string_view kKey = "XDG_PICTURES_DIR=";
    if (!line.starts_with(kKey)) continue;
    line.remove_prefix(kKey.size());
    if (line.empty() || line.front() != '"') continue;
    std::string value;
    bool closed = false;
    for (std::size_t k = 1; k < line.size(); ++k) {
      if (line[k] == '\\' && k + 1 < line.size()) {
        value += line[++k];
      } else if (line[k] == '"') {
        closed = true;
        break;
      } else {
        value += line[k];
      }
    }
    if (!closed) continue;
    if (value.starts_with("$HOME")) {
      std::string rest = value.substr(5);
      if (!rest.empty() && rest.front() != '/') continue;
      // A pictures folder set to the home folder itself means "none".
      if (rest.find_first_not_of('/') == std::string::npos) continue;
      found = home + rest;
    } else if (value.starts_with("/")) {
      found = value;
    }
  }
  return found;
}

std::string libraryRootFromArgs(const std::vector<std::string>& args) {
  // Like every option, the last one that has a value wins.
  for (std::size_t i = args.size(); i-- > 1;)
    if (args[i - 1] == "--library") return args[i];
  std::string home = homeFolder();
  std::string config;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && x[0] == '/') config = x;
  else config = home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs", std::ios::binary);
  if (in) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (auto dir = picturesDirFromUserDirs(text, home)) return *dir;
  }
  return home == "/" ? "/Pictures" : home + "/Pictures";
}

}  // namespace photolibrary
