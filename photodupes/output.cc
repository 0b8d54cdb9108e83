#include "photodupes/output.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "imaging/imaging.h"
#include "jsonlines/text.h"
#include "photodupes/unreadable.h"

namespace photodupes {

Summary summarize(const std::vector<Group>& groups) {
  Summary s;
  s.groups = groups.size();
  for (const Group& g : groups) {
    for (const Member& m : g.members) s.notKept += !m.keep;
    s.bytesFreed += g.bytesFreed;
  }
  return s;
}

namespace {
// Beside a text key holding a path, the path's exact bytes where the text
// could not hold them (not UTF-8).
void exactPath(nlohmann::json& j, const std::string& key, const std::string& path) {
  if (!jsonlines::isValidUtf8(path))
    j[key + "_base64"] = imaging::base64(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(path.data()), path.size()));
}
}  // namespace

std::string memberReason(const Group& group, const Member& m) {
  if (&m == &group.members.front()) return "keeper";
  if (m.relatedTo) return "related";
  if (m.keep) return "kept";
  return m.exact ? "exact" : "near";
}

std::string humanBytes(std::int64_t bytes) {
  const char* units[] = {"bytes", "kB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1000 && u < 4) v /= 1000, ++u;
  char buf[32];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%lld bytes", static_cast<long long>(bytes));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

std::string captureDate(std::int64_t millis) {
  if (millis == 0) return "unknown";
  std::time_t t = static_cast<std::time_t>(millis / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

bool writeGroups(std::FILE* out, const std::vector<Photo>& photos, const std::vector<Group>& groups, Format format,
                 bool zero) {
  if (format == Format::kNotKept) {
    // Listed exactly as they are, never escaped: an escaped name could name another file.
    if (!zero)
      for (const Group& g : groups)
        for (const Member& m : g.members)
          if (!m.keep && photos[m.photo].path.find('\n') != std::string::npos) return false;
    for (const Group& g : groups)
      for (const Member& m : g.members) {
        if (m.keep) continue;
        const std::string& p = photos[m.photo].path;
        std::fwrite(p.data(), 1, p.size(), out);
        std::fputc(zero ? '\0' : '\n', out);
      }
    return true;
  }
  const Summary s = summarize(groups);
  if (format == Format::kJson) {
    using nlohmann::json;
    json list = json::array();
    for (const Group& g : groups) {
      json members = json::array();
      for (const Member& m : g.members) {
        const Photo& p = photos[m.photo];
        json j = {{"path", jsonlines::validUtf8(p.path)},
                  {"id", p.id},
                  {"keep", m.keep},
                  {"reason", memberReason(g, m)},
                  {"w", p.w},
                  {"h", p.h},
                  {"bytes", p.bytes},
                  {"created", p.created}};
        if (!m.exact) j["dist"] = m.dist, j["bits"] = m.bits;
        exactPath(j, "path", p.path);
        if (m.relatedTo) j["related_to"] = jsonlines::validUtf8(photos[*m.relatedTo].path);
        if (m.relatedTo) exactPath(j, "related_to", photos[*m.relatedTo].path);
        members.push_back(std::move(j));
      }
      json group = {{"reason", g.near ? "near" : "exact"},
                    {"bytes_freed", g.bytesFreed},
                    {"keeper", jsonlines::validUtf8(photos[g.members[0].photo].path)},
                    {"members", std::move(members)}};
      exactPath(group, "keeper", photos[g.members[0].photo].path);
      list.push_back(std::move(group));
    }
    json doc = {{"summary", {{"groups", s.groups}, {"not_kept", s.notKept}, {"bytes_freed", s.bytesFreed}}},
                {"groups", std::move(list)}};
    std::fprintf(out, "%s\n", doc.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    return true;
  }
  std::fprintf(out, "%zu groups, %zu files not kept, %s to free\n", s.groups, s.notKept,
               humanBytes(s.bytesFreed).c_str());
  for (const Group& g : groups) {
    std::fprintf(out, "\n%s duplicates, %zu files, %s to free\n", g.near ? "near" : "exact", g.members.size(),
                 humanBytes(g.bytesFreed).c_str());
    for (const Member& m : g.members) {
      const Photo& p = photos[m.photo];
      char why[64];
      const std::string reason = memberReason(g, m);
      if (reason == "keeper")
        std::snprintf(why, sizeof why, "keep");
      else if (reason == "near" || reason == "related")
        std::snprintf(why, sizeof why, "%s %.3f/%db", reason.c_str(), m.dist, m.bits);
      else
        std::snprintf(why, sizeof why, "%s", reason.c_str());
      std::fprintf(out, "  %-16s %s  (%lldx%lld, %s, %s)\n", why, printable(p.path).c_str(),
                   static_cast<long long>(p.w), static_cast<long long>(p.h), humanBytes(p.bytes).c_str(),
                   captureDate(p.created).c_str());
    }
  }
  return true;
}

int finishOutput(std::FILE* out, std::FILE* err) {
  if (std::fflush(out) == 0 && !std::ferror(out)) return 0;
  const int e = errno;
  std::fprintf(err, "photodupes: cannot write the output: %s\n", std::strerror(e ? e : EIO));
  return 1;
}

int printGroups(std::FILE* out, std::FILE* err, const std::vector<Photo>& photos, const std::vector<Group>& groups,
                Format format, bool zero) {
  if (!writeGroups(out, photos, groups, format, zero)) {
    std::fprintf(err,
                 "photodupes: a file name holds a line feed, so a list of one path a line cannot name it; nothing "
                 "was listed: use --not-kept -0\n");
    return 1;
  }
  return finishOutput(out, err);
}

}  // namespace photodupes
