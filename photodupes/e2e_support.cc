#include "photodupes/e2e_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <nlohmann/json.hpp>

#include "imaging/imaging.h"
#include "testsupport/photo_edits.h"

namespace photodupes::e2e {

namespace fs = std::filesystem;

GroupSet makeLibrary(const std::string& dir) {
  const std::string cameras = std::string(CORPUS_DIR) + "/cameras/";
  if (!fs::exists(cameras)) return {};
  auto source = [&](const std::string& name) { return *imaging::readRegularFile(cameras + name); };
  auto put = [&](const std::string& rel, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(fs::path(dir + "/" + rel).parent_path());
    EXPECT_TRUE(testsupport::writeBytes(dir + "/" + rel, bytes)) << rel;
  };
  auto edited = [&](const std::string& name, testsupport::PhotoEdit edit) {
    auto out = testsupport::editPhoto(source(name), edit);
    EXPECT_TRUE(out) << name;
    return out.value_or(std::vector<std::uint8_t>{});
  };
  for (const char* name :
       {"Nikon_D70.jpg", "Pentax_K10D.jpg", "Olympus_C8080WZ.jpg", "Sony_HDR-HC3.jpg", "Kodak_CX7530.jpg",
        "Panasonic_DMC-FZ30.jpg", "Ricoh_Caplio_RR330.jpg", "Fujifilm_FinePix_E500.jpg"})
    put(std::string("originals/") + name, source(name));
  put("copies/nikon copy.jpg", source("Nikon_D70.jpg"));
  put("edits/pentax-half.jpg", edited("Pentax_K10D.jpg", testsupport::PhotoEdit::kResizeHalf));
  put("edits/olympus-q40.jpg", edited("Olympus_C8080WZ.jpg", testsupport::PhotoEdit::kReencode));
  put("edits/2024/sony-brighter.jpg", edited("Sony_HDR-HC3.jpg", testsupport::PhotoEdit::kBrighten));
  const auto kodakHalf = edited("Kodak_CX7530.jpg", testsupport::PhotoEdit::kResizeHalf);
  put("edits/kodak-half.jpg", kodakHalf);
  put("copies/kodak-half again.jpg", kodakHalf);
  return {{"originals/Nikon_D70.jpg", "copies/nikon copy.jpg"},
          {"originals/Pentax_K10D.jpg", "edits/pentax-half.jpg"},
          {"originals/Olympus_C8080WZ.jpg", "edits/olympus-q40.jpg"},
          {"originals/Sony_HDR-HC3.jpg", "edits/2024/sony-brighter.jpg"},
          {"originals/Kodak_CX7530.jpg", "edits/kodak-half.jpg", "copies/kodak-half again.jpg"}};
}

testsupport::ProcessResult photodupes(const std::vector<std::string>& args, const std::string& stateHome,
                                      const std::vector<std::string>& extraEnv) {
  std::vector<std::string> argv = {PHOTODUPES_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::RunOptions options;
  // The first of two settings of a variable is the one getenv finds.
  options.extraEnvironment = extraEnv;
  options.extraEnvironment.insert(
      options.extraEnvironment.end(),
      {"XDG_STATE_HOME=" + stateHome, "PHOTODUPES_ALBUMSWEEP=" ALBUMSWEEP_BIN, "PHOTODUPES_TWINSPOT=" TWINSPOT_BIN});
  options.timeout = std::chrono::seconds(120);
  return testsupport::runProcess(argv, options);
}

GroupSet groupsOf(const std::string& jsonText, const std::string& root) {
  GroupSet out;
  const auto doc = nlohmann::json::parse(jsonText, nullptr, false);
  if (doc.is_discarded() || !doc.contains("groups")) {
    ADD_FAILURE() << "not a groups document: " << jsonText;
    return out;
  }
  for (const auto& g : doc["groups"]) {
    std::set<std::string> members;
    for (const auto& m : g["members"]) members.insert(m["path"].get<std::string>().substr(root.size() + 1));
    out.insert(members);
  }
  return out;
}

std::vector<std::string> catalogRows(const std::string& catalogFile, const std::string& kind,
                                     const std::string& source) {
  std::vector<std::string> rows;
  auto catalog = Catalog::open(catalogFile, kind, source, Catalog::Access::kRead);
  for (const Photo& p : catalog->photos(true))
    rows.push_back(p.id + "|" + p.path + "|" + p.name + "|" + p.state + "|" + p.err + "|" + p.sha + "|" +
                   std::to_string(p.dhash.value_or(0)) + "|" + std::to_string(p.w) + "x" + std::to_string(p.h) + "|" +
                   std::to_string(p.bytes) + "|" + std::to_string(p.created) + "|" + std::to_string(p.mod) + "|" +
                   p.thumb);
  return rows;
}

void writeScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

std::optional<std::string> trashInfoPath(const std::string& text) {
  std::smatch m;
  if (!std::regex_match(text, m, std::regex("\\[Trash Info\\]\nPath=([^\n]+)\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT"
                                            "\\d\\d:\\d\\d:\\d\\d\n")))
    return std::nullopt;
  std::string path;
  const std::string enc = m[1];
  for (std::size_t i = 0; i < enc.size(); ++i) {
    if (enc[i] == '%' && i + 2 < enc.size()) {
      path += static_cast<char>(std::stoi(enc.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      path += enc[i];
    }
  }
  return path;
}

}  // namespace photodupes::e2e
