// The requests to the reader process and the decoding of its answers.
#include "photolibrary/folder_reader_client.h"

#include <algorithm>
#include <functional>
#include <new>
#include <utility>

#include "photolibrary/folder_library_data.h"
#include "photolibrary/folder_reader_messages.h"

namespace photolibrary::folder {
namespace {

// The rest of an answer from the reader: the file's bytes appended to
// `bytes` (null: none expected), the progress handler called for each
// piece of a download, then the answer's last frame; nothing when the
// reader has gone or answered out of turn.
template <typename Bytes>
std::optional<std::string> answerOf(reader::Exchange& x, const std::function<void()>& progress, Bytes* bytes) {
  for (;;) {
    reader::FrameKind kind;
    std::uint64_t length;
    if (!x.next(kind, length)) return std::nullopt;
    if (kind == reader::kEnd) {
      std::string answer;
      if (!x.readString(length, answer)) return std::nullopt;
      return answer;
    }
    if (kind == reader::kProgress && length == 0) {
      if (progress) progress();
    } else if (kind == reader::kBytes && bytes != nullptr && bytes->size() + length <= kMaxOriginalBytes + kEndRoom) {
      const std::size_t have = bytes->size();
      bytes->resize(have + length);
      if (!x.read(bytes->data() + have, length)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
}

// A file opened by the reader process: its bytes are read there, when
// asked for, and come over the reader's channel.
class ReaderData : public ImageData {
 public:
  ReaderData(std::shared_ptr<reader::Process> process, std::uint64_t handle, std::int64_t size)
      : process_(std::move(process)), handle_(handle), size_(size) {}
  ~ReaderData() override {
    if (read_) return;
    // Never read: the reader lets its file go. Only on a channel free now,
    // so that this never waits; without one the reader keeps a file open
    // that nobody asks for.
    if (std::optional<reader::Exchange> x = process_->tryLease()) {
      if (x->send(reader::Encoder().u64(kOpDrop).u64(handle_).bytes())) answerOf<MappedBytes>(*x, {}, nullptr);
    }
  }
  std::int64_t size() const override { return size_; }
  std::optional<std::span<const std::uint8_t>> bytes() override {
    if (!read_) {
      read_ = true;
      try {
        MappedBytes data;
        data.reserve(static_cast<std::size_t>(std::max<std::int64_t>(size_, 0)) + kEndRoom);
        reader::Exchange x = process_->lease();
        std::optional<std::string> answer;
        if (x.send(reader::Encoder().u64(kOpRead).u64(handle_).bytes())) answer = answerOf(x, {}, &data);
        const std::string reply = answer.value_or("");  // the decoder reads it in place
        reader::Decoder in(reply);
        if (answer && in.u64() == 1) bytes_ = std::move(data);
      } catch (const std::bad_alloc&) {  // no memory for a file this large: it cannot be read
      }
    }
    if (!bytes_) return std::nullopt;
    return std::span<const std::uint8_t>(*bytes_);
  }

 private:
  std::shared_ptr<reader::Process> process_;
  std::uint64_t handle_;
  std::int64_t size_;
  bool read_ = false;
  std::optional<MappedBytes> bytes_;
};

}  // namespace

std::optional<std::vector<Entry>> askInventory(reader::Process& process) {
  std::optional<std::string> answer = process.ask(reader::Encoder().u64(kOpInventory).bytes());
  if (!answer) return std::nullopt;
  return decodeEntries(*answer);
}

std::optional<std::vector<Entry>> askIdentifiers(reader::Process& process, std::span<const std::string> identifiers) {
  reader::Encoder request;
  request.u64(kOpIdentifiers).u64(identifiers.size());
  for (const std::string& id : identifiers) request.str(id);
  std::optional<std::string> answer = process.ask(request.bytes());
  return answer ? decodeEntries(*answer) : std::nullopt;
}

std::optional<ReaderOpen> openViaReader(reader::Process& process, const Asset& asset,
                                        const ImageRequestOptions& options, std::vector<std::uint8_t>* bytes) {
  reader::Exchange x = process.lease();
  reader::Encoder request;
  request.u64(kOpOpen).str(asset.localIdentifier).u64(options.networkAccessAllowed).u64(bytes != nullptr);
  std::optional<std::string> answer;
  if (x.send(request.bytes())) answer = answerOf(x, options.progressHandler, bytes);
  if (!answer) return std::nullopt;
  reader::Decoder in(*answer);
  ReaderOpen opened;
  opened.info = decodeInfo(in);
  opened.hasData = in.u64() != 0;
  opened.size = in.i64();
  if (opened.hasData && bytes != nullptr) opened.readOk = in.u64() != 0;
  else if (opened.hasData) opened.handle = in.u64();
  if (in.failed()) return std::nullopt;
  return opened;
}

std::shared_ptr<ImageData> readerData(std::shared_ptr<reader::Process> process, std::uint64_t handle,
                                      std::int64_t size) {
  return std::make_shared<ReaderData>(std::move(process), handle, size);
}

}  // namespace photolibrary::folder
