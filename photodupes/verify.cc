#include "photodupes/verify.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <unordered_map>

#include "jsonlines/text.h"
#include "photodupes/child_process.h"
#include "photodupes/scan.h"

namespace photodupes {

Verifier simverifyVerifier(const std::vector<Photo>& photos, const VerifySource& source) {
  return [&photos, source](const std::vector<std::vector<std::size_t>>& groups) {
    using nlohmann::json;
    std::unordered_map<std::string, std::size_t> byKey;
    json request = json::array();
    for (const auto& g : groups) {
      json names = json::array();
      for (std::size_t m : g) {
        const std::string& key = source.byPath ? photos[m].path : photos[m].id;
        if (!jsonlines::isValidUtf8(key)) continue;
        names.push_back(key);
        byKey[key] = m;
      }
      request.push_back(std::move(names));
    }
    std::vector<std::string> argv = {source.albumsweep, "simverify", "--deadline", "inf"};
    if (source.byPath)
      argv.push_back("--files");
    else
      argv.insert(argv.end(), {"--library", source.root});

    std::map<std::size_t, float> dist;
    std::string problem;
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
      auto b = j.find("b");
      auto d = j.find("dist");
      if (b != j.end() && b->is_string() && d != j.end() && d->is_number()) {
        auto m = byKey.find(b->get<std::string>());
        if (m != byKey.end()) dist[m->second] = d->get<float>();
      }
      return true;  // failure records: that member stays unconfirmed
    };
    auto r = runJsonChild(argv, json{{"groups", std::move(request)}}.dump(), "albumsweep simverify", onRecord);
    if (problem.empty()) problem = r.problem;
    if (!problem.empty()) throw std::runtime_error(problem);
    return dist;
  };
}

}  // namespace photodupes
