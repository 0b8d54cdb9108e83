#include "photodupes/report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "imaging/imaging.h"
#include "jsonlines/text.h"
#include "photodupes/output.h"

namespace photodupes {
namespace {

namespace fs = std::filesystem;

std::string html(const std::string& raw) {
  std::string out;
  for (char c : jsonlines::validUtf8(raw)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Percent-encodes everything but unreserved characters and "/" (for URLs).
std::string urlPath(const std::string& raw) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : raw) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

const char* kStyle = R"css(
body{font:14px/1.35 system-ui,sans-serif;margin:0;background:#f4f4f2;color:#222}
header{padding:16px 24px;background:#fff;border-bottom:1px solid #ddd}
h1{font-size:20px;margin:0 0 4px}
.summary{font-size:16px;font-weight:600;margin:4px 0}
.rule{color:#555;margin:4px 0}
main{padding:8px 24px}
.group{content-visibility:auto;contain-intrinsic-size:auto 300px;background:#fff;border:1px solid #ddd;border-radius:6px;margin:12px 0;padding:8px 12px}
h2{font-size:15px;margin:4px 0 8px}
.row{display:flex;gap:12px;overflow-x:auto;padding-bottom:4px}
figure{margin:0;width:180px;flex:none;border:2px solid transparent;border-radius:4px;padding:4px}
figure.keep{border-color:#2a8a3a;background:#eef8ef}
.thumb{display:flex;align-items:center;justify-content:center;width:172px;height:172px;background:#e6e6e6}
.thumb img{max-width:172px;max-height:172px}
.none{color:#777}
nav{margin:6px 0;line-height:1.8}
nav a,nav b{display:inline-block;min-width:2em;text-align:center}
figcaption{font-size:12px;word-break:break-all;margin-top:4px}
.tag{display:inline-block;font-weight:700;padding:0 4px;border-radius:3px;background:#ccc}
.keep .tag{background:#2a8a3a;color:#fff}
.group:has(figure:target){content-visibility:visible}
.close{display:none}
figure:target{position:fixed;inset:0;z-index:10;width:auto;margin:0;border:0;border-radius:0;background:rgba(0,0,0,.88);display:flex;flex-direction:column;align-items:center;justify-content:center;color:#fff}
figure:target .close{display:block;position:absolute;inset:0;z-index:0}
figure:target .thumb{position:relative;z-index:1;width:auto;height:auto;background:none}
figure:target .thumb img{width:auto;height:min(80vh,90vw);max-width:90vw;max-height:80vh;image-rendering:auto}
figure:target figcaption{position:relative;z-index:1;font-size:14px;max-width:90vw}
figure:target figcaption a{color:#9cf}
)css";

// The file name of page `k` (from 0) of a report written to `page`: the page
// itself, then "<stem>-2<ext>", "<stem>-3<ext>"...
std::string pageName(const fs::path& page, std::size_t k) {
  if (k == 0) return page.filename().string();
  return page.stem().string() + "-" + std::to_string(k + 1) + page.extension().string();
}

// Where each page starts (group indexes) and, last, the number of groups.
std::vector<std::size_t> pageStarts(const std::vector<Group>& groups) {
  std::vector<std::size_t> starts = {0};
  std::size_t photos = 0;
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    if (gi > starts.back() &&
        (gi - starts.back() == kGroupsPerPage || photos + groups[gi].members.size() > kPhotosPerPage)) {
      starts.push_back(gi);
      photos = 0;
    }
    photos += groups[gi].members.size();
  }
  starts.push_back(groups.size());
  return starts;
}

// Links to every page, the current one in bold.
void writePageLinks(std::ostream& out, const fs::path& page, const std::vector<std::size_t>& starts, std::size_t k) {
  const std::size_t pages = starts.size() - 1;
  out << "<nav>Page " << k + 1 << " of " << pages << " (groups " << starts[k] + 1 << "&ndash;" << starts[k + 1]
      << "): ";
  if (k > 0) out << "<a href=\"" << urlPath(pageName(page, k - 1)) << "\">&laquo; previous</a> ";
  for (std::size_t j = 0; j < pages; ++j) {
    if (j == k)
      out << "<b>" << j + 1 << "</b> ";
    else
      out << "<a href=\"" << urlPath(pageName(page, j)) << "\">" << j + 1 << "</a> ";
  }
  if (k + 1 < pages) out << "<a href=\"" << urlPath(pageName(page, k + 1)) << "\">next &raquo;</a>";
  out << "</nav>\n";
}

}  // namespace

void writeReport(const std::string& file, const std::vector<Photo>& photos, const std::vector<Group>& groups,
                 const std::string& title) {
  std::size_t thumbBytes = 0;
  for (const Group& g : groups)
    for (const Member& m : g.members) thumbBytes += photos[m.photo].thumb.size();
  const bool inlined = thumbBytes <= kInlineLimit;
  const fs::path page(file);
  const std::string folderName = page.stem().string() + "_thumbs";
  const fs::path finalFolder = page.parent_path() / folderName;
  std::error_code ec;
  if (fs::is_directory(page, ec)) throw std::runtime_error("cannot write the report " + file + ": it is a folder");
  const fs::path parent = page.parent_path().empty() ? fs::path(".") : page.parent_path();
  if (!fs::is_directory(parent, ec))
    throw std::runtime_error("cannot write the report " + file + ": the folder " + parent.string() + " does not exist");
  // Everything is written under temporary names and renamed into place once
  // whole: a failed write leaves no partial page and the earlier report as
  // it was.
  const std::string tag = ".tmp-" + std::to_string(::getpid());
  const fs::path folder = parent / (folderName + tag);
  std::vector<fs::path> written;
  struct Cleanup {
    std::vector<fs::path>& files;
    fs::path folder;
    bool done = false;
    ~Cleanup() {
      if (done) return;
      std::error_code e;
      for (const fs::path& f : files) fs::remove(f, e);
      fs::remove_all(folder, e);
    }
  } cleanup{written, folder};
  auto failed = [](const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno ? errno : EIO));
  };
  if (!inlined) {
    fs::create_directories(folder, ec);
    if (ec) throw std::runtime_error("cannot create " + folder.string() + ": " + ec.message());
  }

  const Summary s = summarize(groups);
  const std::vector<std::size_t> starts = pageStarts(groups);
  const std::size_t pages = starts.size() - 1;
  std::size_t n = 0;
  for (std::size_t k = 0; k < pages; ++k) {
    const fs::path pageFile = parent / (pageName(page, k) + tag);
    written.push_back(pageFile);
    errno = 0;
    std::ofstream out(pageFile, std::ios::binary | std::ios::trunc);
    if (!out) throw failed("cannot write the report " + file);
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        << "<meta name=\"viewport\" content=\"width=device-width\"><title>photodupes: " << s.groups << " groups"
        << (pages > 1 ? ", page " + std::to_string(k + 1) : "") << "</title><style>" << kStyle
        << "</style></head><body>\n<header><h1>Duplicate photos in " << html(title) << "</h1>\n<p class=\"summary\">"
        << s.groups << " groups, " << s.notKept << " files not kept, " << humanBytes(s.bytesFreed) << " to free</p>\n"
        << "<p class=\"rule\">Groups are sorted by the bytes they free. The suggested keeper (green) has "
        << kKeeperRule << ". Near duplicates show their feature-print "
           "distance to the keeper (0 is identical) and how many bits of the difference hash differ. Click a "
           "thumbnail to enlarge it.</p>\n";
    if (pages > 1) writePageLinks(out, page, starts, k);
    out << "</header>\n<main>\n";
    for (std::size_t gi = starts[k]; gi < starts[k + 1]; ++gi) {
      const Group& g = groups[gi];
      out << "<section class=\"group\" id=\"g" << gi + 1 << "\"><h2>" << gi + 1 << ". " << (g.near ? "near" : "exact")
          << " duplicates, " << g.members.size() << " files, " << humanBytes(g.bytesFreed)
          << " to free</h2><div class=\"row\">\n";
      for (const Member& m : g.members) {
        const Photo& p = photos[m.photo];
        const std::string id = "p" + std::to_string(++n);
        const fs::path path(p.path);
        out << "<figure id=\"" << id << "\"" << (m.keep ? " class=\"keep\"" : "") << "><a class=\"close\" href=\"#g"
            << gi + 1 << "\" aria-label=\"close\"></a><a class=\"thumb\" href=\"#" << id << "\">";
        if (p.thumb.empty()) {
          out << "<span class=\"none\">no preview</span>";
        } else if (inlined) {
          out << "<img alt=\"" << html(p.name) << "\" src=\"data:image/jpeg;base64," << p.thumb << "\">";
        } else {
          const std::string thumbName = std::to_string(n) + ".jpg";
          auto bytes = imaging::fromBase64(p.thumb);
          std::ofstream t(folder / thumbName, std::ios::binary | std::ios::trunc);
          if (!bytes ||
              !t.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size())))
            throw failed("cannot write thumbnails into " + finalFolder.string());
          out << "<img alt=\"" << html(p.name) << "\" loading=\"lazy\" src=\"" << urlPath(folderName) << "/"
              << thumbName << "\">";
        }
        out << "</a><figcaption><span class=\"tag\">"
            << (&m == &g.members.front() ? "keep"
                : m.relatedTo            ? "related, kept"
                : m.keep                 ? "kept (raw)"
                : m.exact                ? "exact copy"
                                         : "near")
            << "</span> " << html(path.filename().string()) << "<br>" << html(path.parent_path().string()) << "<br>"
            << p.w << "&times;" << p.h << " &middot; " << humanBytes(p.bytes) << "<br>" << captureDate(p.created)
            << "<br>";
        if (&m == &g.members.front())
          out << "keeper";
        else if (m.relatedTo)
          out << "kept: a near duplicate of " << html(photos[*m.relatedTo].name) << ", not of the keeper";
        else if (m.keep)
          out << "camera raw file, kept";
        else if (m.exact)
          out << "same bytes as the keeper";
        else {
          char d[64];
          std::snprintf(d, sizeof d, "distance %.3f, %d bits", m.dist, m.bits);
          out << d;
        }
        out << " &middot; <a href=\"file://" << urlPath(p.path) << "\">original</a></figcaption></figure>\n";
      }
      out << "</div></section>\n";
    }
    if (groups.empty()) out << "<p>No duplicates found.</p>\n";
    out << "</main>\n";
    if (pages > 1) {
      out << "<footer>";
      writePageLinks(out, page, starts, k);
      out << "</footer>\n";
    }
    out << "</body></html>\n";
    out.close();
    if (!out) throw failed("cannot write the report " + file);
  }
  // Into place: the thumbnails first (the old ones moved aside, then
  // removed), then the pages; then the pages an earlier, longer report left.
  if (!inlined) {
    const fs::path old = parent / (folderName + ".old-" + std::to_string(::getpid()));
    if (fs::exists(finalFolder, ec) && std::rename(finalFolder.c_str(), old.c_str()) != 0)
      throw failed("cannot replace " + finalFolder.string());
    if (std::rename(folder.c_str(), finalFolder.c_str()) != 0) throw failed("cannot write " + finalFolder.string());
    fs::remove_all(old, ec);
  }
  for (std::size_t k = 0; k < pages; ++k)
    if (std::rename(written[k].c_str(), (parent / pageName(page, k)).c_str()) != 0)
      throw failed("cannot write the report " + (parent / pageName(page, k)).string());
  cleanup.done = true;
  for (std::size_t k = std::max<std::size_t>(pages, 1);; ++k) {
    const fs::path stale = parent / pageName(page, k);
    if (!fs::is_regular_file(stale, ec)) break;
    fs::remove(stale, ec);
  }
}

}  // namespace photodupes
