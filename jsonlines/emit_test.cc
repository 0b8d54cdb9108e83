#include "jsonlines/emit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

namespace jsonlines {
namespace {

// Captures what emit() writes through a memory stream.
class Captured {
 public:
  Captured() : file_(open_memstream(&buf_, &len_)) {}
  ~Captured() {
    if (file_) std::fclose(file_);
    free(buf_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(buf_, len_);
  }

 private:
  char* buf_ = nullptr;
  size_t len_ = 0;
  std::FILE* file_;
};

TEST(Emit, WritesCompactObjectAndOneLineFeed) {
  Captured out;
  emit(Record{{"auth", "denied"}}, out.file());
  EXPECT_EQ(out.text(), "{\"auth\":\"denied\"}\n");
}

TEST(Emit, ValueKindsRoundTrip) {
  Captured out;
  Record r{{"i", std::int64_t{-9007199254740993}}, {"ok", false}, {"dist", 0.1}, {"s", "a\"b\n\tc"}};
  emit(r, out.file());
  std::string line = out.text();
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line only";
  EXPECT_EQ(line.find(' '), std::string::npos) << "compact";
  EXPECT_EQ(Record::parse(line), r);
}

TEST(Emit, DropsRecordThatIsNotValidUtf8) {
  Captured out;
  emit(Record{{"name", std::string("bad\xff")}}, out.file());
  emit(Record{{"i", 1}}, out.file());
  EXPECT_EQ(out.text(), "{\"i\":1}\n");
}

TEST(Emit, NonFiniteNumberStillGivesParseableLine) {
  Captured out;
  emit(Record{{"x", std::nan("")}}, out.file());
  EXPECT_NO_THROW(Record::parse(out.text()));
}

TEST(Emit, ReportsAFailedWrite) {
  Captured good;
  EXPECT_TRUE(emit(Record{{"name", std::string("bad\xff")}}, good.file())) << "a dropped record is no failed write";
  std::FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IOLBF, 0);  // as standard output is
  EXPECT_FALSE(emit(Record{{"i", 0}}, full));
  std::fclose(full);
}

TEST(Emit, ConcurrentWritersUnderOneLockNeverInterleave) {
  Captured out;
  std::mutex lock;
  std::vector<std::thread> threads;
  const std::string longText(5000, 'x');  // longer than stdio's buffer
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 200; ++k) {
        std::lock_guard<std::mutex> g(lock);
        emit(Record{{"t", t}, {"k", k}, {"pad", longText}}, out.file());
      }
    });
  }
  for (auto& th : threads) th.join();
  std::string all = out.text();
  size_t lines = 0, start = 0;
  for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
    Record r = Record::parse(all.substr(start, nl - start));
    EXPECT_EQ(r["pad"], longText);
    ++lines;
  }
  EXPECT_EQ(start, all.size());
  EXPECT_EQ(lines, 8u * 200u);
}

}  // namespace
}  // namespace jsonlines
