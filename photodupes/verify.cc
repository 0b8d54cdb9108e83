#include "photodupes/verify.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <set>
#include <unordered_map>

#include "imaging/digest.h"
#include "imaging/imaging.h"
#include "jsonlines/text.h"
#include "photodupes/child_process.h"
#include "photodupes/scan.h"

namespace photodupes {

Verifier simverifyVerifier(const std::vector<Photo>& photos, const VerifySource& source) {
  return [&photos, source](const std::vector<PhotoPair>& pairs) {
    using nlohmann::json;
    auto nameOf = [&](std::size_t i) -> const std::string& { return source.byPath ? photos[i].path : photos[i].id; };
    // Star groups: each first photo with every photo it is paired with.
    std::map<std::size_t, std::vector<std::size_t>> stars;
    for (auto [a, b] : pairs)
      if (jsonlines::isValidUtf8(nameOf(a)) && jsonlines::isValidUtf8(nameOf(b))) stars[a].push_back(b);
    std::unordered_map<std::string, std::size_t> byName;
    json request = json::array();
    for (const auto& [a, others] : stars) {
      json names = json::array({nameOf(a)});
      byName[nameOf(a)] = a;
      for (std::size_t b : others) names.push_back(nameOf(b)), byName[nameOf(b)] = b;
      request.push_back(std::move(names));
    }
    std::map<PhotoPair, float> dist;
    if (request.empty()) return dist;
    std::vector<std::string> argv = {source.albumsweep, "simverify", "--deadline", "inf"};
    if (source.byPath)
      argv.push_back("--files");
    else
      argv.insert(argv.end(), {"--library", source.root});

    std::string problem;
    std::set<std::size_t> noPrint;
    auto onRecord = [&](json& j) {
      if (j.contains("fatal")) {
        problem = "albumsweep simverify refused the candidate groups";
        return false;
      }
      if (j.contains("auth")) {
        problem = accessAdvice(j.value("auth", ""), source.root);
        return false;
      }
      if (j.contains("stop")) {
        problem = "albumsweep simverify stopped before it had checked every candidate";
        return false;
      }
      auto a = j.find("a");
      auto b = j.find("b");
      auto d = j.find("dist");
      if (a != j.end() && a->is_string() && b != j.end() && b->is_string() && d != j.end() && d->is_number()) {
        auto ia = byName.find(a->get<std::string>());
        auto ib = byName.find(b->get<std::string>());
        if (ia != byName.end() && ib != byName.end()) dist[{ia->second, ib->second}] = d->get<float>();
      }
      // A picture that has no print (its file does not decode) is not the
      // same photo as any: answered, so that it is not measured again. Other
      // failures (a file that could not be read) leave the pair unmeasured.
      if (j.value("err", "") == "featureprint_failed" && j.contains("id") && j["id"].is_string())
        if (auto x = byName.find(j["id"].get<std::string>()); x != byName.end()) noPrint.insert(x->second);
      return true;
    };
    auto r = runJsonChild(argv, json{{"groups", std::move(request)}}.dump(), "albumsweep simverify", onRecord);
    if (problem.empty()) problem = r.problem;
    if (!problem.empty()) throw std::runtime_error(problem);
    for (const auto& [a, others] : stars)
      for (std::size_t b : others)
        if (noPrint.count(a) || noPrint.count(b)) dist.emplace(PhotoPair{a, b}, kNoPrintDistance);
    return dist;
  };
}

std::string measurerOf(const std::string& program) {
  auto bytes = imaging::readRegularFile(program);
  return bytes ? imaging::sha256Hex(*bytes) : std::string();
}

Verifier cachedVerifier(Catalog& catalog, const std::vector<Photo>& photos, const std::string& measurer,
                        Verifier measure) {
  // Loaded on the first call; what is measured later joins it, so a run
  // that asks again (groups found anew after a file changed) measures
  // nothing twice, also where the catalog cannot store it.
  struct Memory {
    bool loaded = false;
    std::unordered_map<std::string, float> known;
  };
  auto memory = std::make_shared<Memory>();
  return [&catalog, &photos, measurer, measure = std::move(measure), memory](const std::vector<PhotoPair>& pairs) {
    auto key = [](const std::string& a, const std::string& b) { return a < b ? a + ':' + b : b + ':' + a; };
    if (!memory->loaded && !measurer.empty())
      for (const Catalog::Distance& d : catalog.distances(measurer)) memory->known.emplace(key(d.a, d.b), d.dist);
    memory->loaded = true;
    std::map<PhotoPair, float> out;
    std::vector<PhotoPair> todo;
    for (const PhotoPair& p : pairs) {
      auto k = memory->known.find(key(photos[p.first].sha, photos[p.second].sha));
      if (k != memory->known.end())
        out[p] = k->second;
      else
        todo.push_back(p);
    }
    if (todo.empty()) return out;
    std::vector<Catalog::Distance> measured;
    for (const auto& [p, d] : measure(todo)) {
      out[p] = d;
      measured.push_back({photos[p.first].sha, photos[p.second].sha, d});
      memory->known.emplace(key(photos[p.first].sha, photos[p.second].sha), d);
    }
    if (!measurer.empty()) catalog.putDistances(measurer, measured);
    return out;
  };
}

}  // namespace photodupes
