#include "thermwatch/smc.h"

#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

#include "controllers/smc_port_fake.h"

namespace thermwatch {
namespace {

using controllers::FakeSMCPort;

// A client on a scripted port; `lines()` gives what the client printed.
class ClientTest : public ::testing::Test {
 protected:
  ClientTest() : out_(open_memstream(&buffer_, &size_)) {}
  ~ClientTest() override {
    client_.reset();
    std::fclose(out_);
    std::free(buffer_);
  }

  SMC& open(controllers::SMCOpening opening) {
    client_ = std::make_unique<SMC>([&] { return std::move(opening); }, out_);
    return *client_;
  }
  SMC& openFake() {
    auto fake = std::make_unique<FakeSMCPort>();
    port_ = fake.get();
    controllers::SMCOpening opening;
    opening.found = true;
    opening.port = std::move(fake);
    return open(std::move(opening));
  }
  std::string lines() {
    std::fflush(out_);
    return std::string(buffer_, size_);
  }

  FakeSMCPort* port_ = nullptr;

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* out_;
  std::unique_ptr<SMC> client_;
};

TEST_F(ClientTest, ReadSendsKeyInfoThenBytesRequests) {
  SMC& smc = openFake();
  port_->key("TC0P", "sp78", {0x1E, 0x80});
  EXPECT_EQ(smc.getValue("TC0P"), 30.5);
  ASSERT_EQ(port_->requests.size(), 2u);
  EXPECT_EQ(port_->requests[0].data8, 9);
  EXPECT_EQ(port_->requests[0].key, uint32FromString("TC0P"));
  EXPECT_EQ(port_->requests[1].data8, 5);
  EXPECT_EQ(port_->requests[1].key, uint32FromString("TC0P"));
  EXPECT_EQ(port_->requests[1].keyInfo.dataSize, 2u);
  EXPECT_EQ(port_->selectors, (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(lines(), "");
}

TEST_F(ClientTest, ValueLongerThan32BytesFillsTheBufferOnly) {
  SMC& smc = openFake();
  std::vector<uint8_t> forty(40);
  for (size_t i = 0; i < forty.size(); ++i) forty[i] = static_cast<uint8_t>(i + 1);
  port_->key("LONG", "{fds", forty);
  // Entries 4-15 of a 40-byte {fds value are the characters 5..16.
  std::string expected;
  for (int i = 5; i <= 16; ++i) expected.push_back(static_cast<char>(i));
  EXPECT_EQ(smc.getStringValue("LONG"), expected);
  EXPECT_EQ(port_->requests[1].keyInfo.dataSize, 40u);
}

TEST_F(ClientTest, FailuresPrintOneLineAndGiveNothing) {
  SMC& smc = openFake();
  port_->unlisted("BADI", {"sp78", 2, {1, 1}, EIO, 0});
  port_->unlisted("BADB", {"sp78", 2, {1, 1}, 0, EACCES});
  port_->key("ZERO", "sp78", {0x1E, 0x80}, 0);
  port_->key("TC0P", "sp78", {0x1E, 0x80});
  EXPECT_EQ(smc.getValue("BADI"), std::nullopt);
  EXPECT_EQ(smc.getValue("BADB"), std::nullopt);
  EXPECT_EQ(smc.getValue("ZERO"), std::nullopt);  // a byte count of 0: no value, no message
  EXPECT_EQ(smc.getStringValue("BADB"), std::nullopt);
  EXPECT_EQ(smc.getStringValue("TC0P"), std::nullopt);
  EXPECT_EQ(lines(),
            "Error read(BADI): Input/output error\n"
            "Error read(BADB): Permission denied\n"
            "Error read(): Permission denied\n"
            "unsupported data type sp78 for key: TC0P\n");
}

TEST_F(ClientTest, EnumerationKeepsOrderAndSkipsFailingPositions) {
  SMC& smc = openFake();
  port_->keyCount(3).key("TC0P", "sp78", {1}).key("TX0P", "sp78", {1}).key("FS! ", "ui16", {0, 0});
  port_->failingPositions[1] = EIO;
  EXPECT_EQ(smc.getAllKeys(), (std::vector<std::string>{"TC0P", "FS! "}));
  EXPECT_EQ(lines(), "");
}

TEST_F(ClientTest, CountOfZeroSendsNoPositionRequest) {
  SMC& smc = openFake();
  port_->unlisted("#KEY", {"ui32", 4, {0, 0, 0, 0}, 0, 0});
  port_->key("TC0P", "sp78", {1});
  // All-zero bytes give no value, so a count of 0 reads as "no count".
  EXPECT_TRUE(smc.getAllKeys().empty());
  EXPECT_EQ(lines(), "ERROR no keys count found\n");
  for (const auto& request : port_->requests) EXPECT_NE(request.data8, 8);
}

TEST_F(ClientTest, CorruptCountsAreBounded) {
  SMC& smc = openFake();
  auto nan = floatBytes(std::numeric_limits<float>::quiet_NaN());
  port_->unlisted("#KEY", {"flt ", 4, {nan.begin(), nan.end()}, 0, 0});
  port_->key("TC0P", "sp78", {1});
  EXPECT_TRUE(smc.getAllKeys().empty());

  port_->keyCount(0xFFFFFFFF);
  port_->requests.clear();
  EXPECT_EQ(smc.getAllKeys(), std::vector<std::string>{"TC0P"});
  EXPECT_EQ(port_->requests.size(), 2 + SMC::kMaxKeyCount);
}

TEST_F(ClientTest, MissingCountPrintsBothLines) {
  SMC& smc = openFake();
  EXPECT_TRUE(smc.getAllKeys().empty());
  EXPECT_EQ(lines(), "Error read(#KEY): No such file or directory\nERROR no keys count found\n");
}

TEST_F(ClientTest, FanModeProbeHappensOnce) {
  SMC& smc = openFake();
  port_->key("F0md", "ui8 ", {1});
  EXPECT_EQ(smc.fanModeKey(1), "F1md");
  size_t afterFirst = port_->requests.size();
  EXPECT_EQ(smc.fanModeKey(0), "F0md");
  EXPECT_EQ(smc.fanModeKey(12), "F12md");
  EXPECT_EQ(port_->requests.size(), afterFirst);
}

TEST_F(ClientTest, FanModeUpperCaseWhenProbeFailsOrIsEmpty) {
  {
    SMC& smc = openFake();
    EXPECT_EQ(smc.fanModeKey(1), "F1Md");
  }
  SMC& smc = openFake();
  port_->key("F0md", "ui8 ", {}, 0);
  EXPECT_EQ(smc.fanModeKey(1), "F1Md");
  EXPECT_EQ(lines(), "");  // the probe prints nothing
}

TEST_F(ClientTest, CloseReachesThePortEachTimeAndTeardownReports) {
  SMC& smc = openFake();
  port_->closeStatus = EBADF;
  EXPECT_EQ(smc.close(), EBADF);
  EXPECT_EQ(smc.close(), EBADF);
  EXPECT_EQ(port_->closeCalls, 2);
  open(controllers::SMCOpening{});  // destroys the first client
  EXPECT_EQ(lines(), "Error IOIteratorNext(): Success\nerror close smc connection: Bad file descriptor\n");
}

TEST_F(ClientTest, FailedOpeningsPrintOneLineThenEveryReadFails) {
  struct Case {
    controllers::SMCOpening opening;
    std::string line;
  };
  std::vector<Case> cases;
  cases.push_back({controllers::SMCOpening{EACCES, false, 0, nullptr},
                   "Error IOServiceGetMatchingServices(): Permission denied\n"});
  cases.push_back({controllers::SMCOpening{0, false, 0, nullptr}, "Error IOIteratorNext(): Success\n"});
  cases.push_back({controllers::SMCOpening{0, true, EACCES, nullptr}, "Error IOServiceOpen(): Permission denied\n"});
  for (auto& c : cases) {
    auto openedLines = [&] { return lines(); };
    size_t before = openedLines().size();
    SMC& smc = open(std::move(c.opening));
    std::string printed = openedLines().substr(before);
    // The previous client's teardown line may precede the opening line.
    EXPECT_NE(printed.find(c.line), std::string::npos) << printed;
    before = openedLines().size();
    EXPECT_TRUE(smc.getAllKeys().empty());
    EXPECT_EQ(openedLines().substr(before),
              "Error read(#KEY): No such device\nERROR no keys count found\n");
  }
}

}  // namespace
}  // namespace thermwatch
