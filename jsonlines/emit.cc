#include "jsonlines/emit.h"

namespace jsonlines {

std::optional<std::string> serialize(const Record& record) {
  try {
    // Strict UTF-8: a record holding invalid text is not written at all,
    // rather than written with replaced or raw bytes.
    return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

bool emit(const Record& record, std::FILE* out) {
  std::optional<std::string> text = serialize(record);
  if (!text) return !std::ferror(out);
  text->push_back('\n');
  // A line-buffered stream reports a failed flush of the line through its
  // error flag only; fwrite's count does not show it.
  return std::fwrite(text->data(), 1, text->size(), out) == text->size() && !std::ferror(out);
}

void makeStdoutLineBuffered() { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

}  // namespace jsonlines
