// Writing and reading the reader's messages.
#include "photolibrary/folder_reader_messages.h"

#include <utility>

namespace photolibrary::folder {
namespace {

// An entry as the reader process sends it.
void encodeEntry(reader::Encoder& out, const Entry& e) {
  const Asset& a = e.asset;
  out.str(a.localIdentifier).i64(static_cast<int>(a.mediaType));
  out.u64(a.creationDate.has_value()).f64(a.creationDate.value_or(0));
  out.u64(a.modificationDate.has_value()).f64(a.modificationDate.value_or(0));
  out.i64(a.pixelWidth).i64(a.pixelHeight).u64(a.mediaSubtypes).u64(a.hidden);
  out.u64(e.resources.size());
  for (const AssetResource& r : e.resources) out.i64(r.type).str(r.originalFilename);
}

Entry decodeEntry(reader::Decoder& in) {
  Entry e;
  Asset& a = e.asset;
  a.localIdentifier = in.str();
  a.mediaType = static_cast<MediaType>(in.i64());
  auto optionalDate = [&in]() -> std::optional<double> {
    const bool has = in.u64() != 0;
    const double v = in.f64();
    return has ? std::optional<double>(v) : std::nullopt;
  };
  a.creationDate = optionalDate();
  a.modificationDate = optionalDate();
  a.pixelWidth = in.i64();
  a.pixelHeight = in.i64();
  a.mediaSubtypes = in.u64();
  a.hidden = in.u64() != 0;
  for (std::uint64_t k = 0, n = in.u64(); k < n && !in.failed(); ++k) {
    AssetResource r;
    r.type = static_cast<int>(in.i64());
    r.originalFilename = in.str();
    e.resources.push_back(std::move(r));
  }
  return e;
}

}  // namespace

std::string encodeEntries(const std::vector<Entry>& entries) {
  reader::Encoder out;
  out.u64(entries.size());
  for (const Entry& e : entries) encodeEntry(out, e);
  return out.bytes();
}

std::optional<std::vector<Entry>> decodeEntries(std::string_view message) {
  reader::Decoder in(message);
  std::vector<Entry> entries;
  for (std::uint64_t k = 0, n = in.u64(); k < n && !in.failed(); ++k) entries.push_back(decodeEntry(in));
  if (in.failed()) return std::nullopt;
  return entries;
}

void encodeInfo(reader::Encoder& out, const ImageResultInfo& info) {
  out.u64(info.inCloud).u64(info.degraded).u64(info.cancelled).u64(info.hasError);
}

ImageResultInfo decodeInfo(reader::Decoder& in) {
  ImageResultInfo info;
  info.inCloud = in.u64() != 0;
  info.degraded = in.u64() != 0;
  info.cancelled = in.u64() != 0;
  info.hasError = in.u64() != 0;
  return info;
}

}  // namespace photolibrary::folder
