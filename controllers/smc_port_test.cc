#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "controllers/applesmc_port.h"
#include "controllers/hwmon_port.h"
#include "controllers/smc_port.h"
#include "controllers/smc_port_sysfs.h"
#include "testsupport/images.h"

namespace controllers {
namespace {

namespace fs = std::filesystem;

// A fresh folder for a fake sysfs tree, removed afterwards.
class TempTree {
 public:
  const std::string& root() const { return dir_.path(); }
  std::string path(const std::string& relative) const { return root() + "/" + relative; }
  void write(const std::string& relative, const std::string& content) const {
    fs::create_directories(fs::path(path(relative)).parent_path());
    std::ofstream(path(relative), std::ios::binary) << content;
  }

 private:
  testsupport::TempDir dir_;
};

// One structure call; gives the status and the reply.
std::pair<int32_t, SMCKeyData_t> call(SMCPort& port, uint8_t command, const std::string& key, uint32_t index = 0) {
  SMCKeyData_t input{}, output{};
  input.key = codeFromBytes(key);
  input.data8 = command;
  input.data32 = index;
  int32_t status = port.callStructMethod(kSMCSelectorKernelIndex, input, output);
  return {status, output};
}

std::vector<std::string> listKeys(SMCPort& port, uint32_t count) {
  std::vector<std::string> keys;
  for (uint32_t i = 0; i < count; ++i) {
    auto [status, reply] = call(port, kSMCCommandReadIndex, "", i);
    keys.push_back(status == 0 ? codeBytes(reply.key) : "error " + std::to_string(status));
  }
  return keys;
}

float floatOf(const SMCKeyData_t& reply) {
  float f;
  std::memcpy(&f, reply.bytes, 4);  // little-endian host
  return f;
}

// Emulates the applesmc driver over a fake tree: the keys live in
// keys/<index>/{name,type,data_length,data}; writing an index to
// key_at_index puts that key's files in place of key_at_index_*, and an
// index past the keys present fails with EINVAL as the driver's does.
class DriverFiles : public sysfs::Files {
 public:
  explicit DriverFiles(const TempTree& tree) : tree_(tree) {}
  int32_t write(const std::string& path, const std::string& text) override {
    if (int32_t status = Files::write(path, text)) return status;
    if (path != tree_.path("key_at_index")) return 0;
    std::string chosen = tree_.path("keys/" + text);
    if (!fs::exists(chosen)) return EINVAL;
    for (const char* part : {"name", "type", "data_length", "data"}) {
      std::string target = tree_.path(std::string("key_at_index_") + part);
      fs::remove(target);
      if (fs::exists(chosen + "/" + part)) fs::copy_file(chosen + "/" + part, target);
    }
    return 0;
  }

 private:
  const TempTree& tree_;
};

class AppleSMCPortTest : public ::testing::Test {
 protected:
  AppleSMCPortTest() {
    tree.write("key_count", "4\n");  // one more than the keys that can be read
    tree.write("key_at_index", "");
    addKey(0, "TC0P", "sp78", std::string("\x1E\x80", 2));
    addKey(1, "FS! ", "ui16", std::string("\0\0", 2));
    addKey(2, "F0ID", "{fds", std::string(40, 'x'));
  }
  void addKey(int index, const std::string& name, const std::string& type, const std::string& data) {
    std::string dir = "keys/" + std::to_string(index) + "/";
    tree.write(dir + "name", name + "\n");
    tree.write(dir + "type", type + "\n");
    tree.write(dir + "data_length", std::to_string(data.size()) + "\n");
    tree.write(dir + "data", data);
  }
  std::unique_ptr<SMCPort> open() {
    std::unique_ptr<SMCPort> port;
    EXPECT_EQ(openAppleSMCPort(tree.root(), port, std::make_shared<DriverFiles>(tree)), 0);
    return port;
  }
  TempTree tree;
};

TEST_F(AppleSMCPortTest, ListsKeysAndFailsPastTheReadableOnes) {
  auto port = open();
  EXPECT_EQ(listKeys(*port, 4), (std::vector<std::string>{"TC0P", "FS! ", "F0ID", "error " + std::to_string(EINVAL)}));
}

TEST_F(AppleSMCPortTest, ReadsInfoAndBytesByNameEvenBeforeEnumerating) {
  auto port = open();
  auto [infoStatus, info] = call(*port, kSMCCommandReadKeyInfo, "FS! ");
  EXPECT_EQ(infoStatus, 0);
  EXPECT_EQ(info.keyInfo.dataSize, 2u);
  EXPECT_EQ(codeBytes(info.keyInfo.dataType), "ui16");

  auto [bytesStatus, bytes] = call(*port, kSMCCommandReadBytes, "TC0P");
  EXPECT_EQ(bytesStatus, 0);
  EXPECT_EQ(bytes.bytes[0], 0x1E);
  EXPECT_EQ(bytes.bytes[1], 0x80);

  auto [longStatus, longInfo] = call(*port, kSMCCommandReadKeyInfo, "F0ID");
  EXPECT_EQ(longInfo.keyInfo.dataSize, 40u);
  auto [longBytesStatus, longBytes] = call(*port, kSMCCommandReadBytes, "F0ID");
  EXPECT_EQ(longBytesStatus, 0);
  EXPECT_EQ(longBytes.bytes[31], 'x');

  EXPECT_EQ(call(*port, kSMCCommandReadKeyInfo, "NONE").first, ENOENT);
  EXPECT_EQ(call(*port, 6, "TC0P").first, ENOTSUP);
}

TEST_F(AppleSMCPortTest, KeyCountIsServedAsBigEndianUI32) {
  auto port = open();
  auto [infoStatus, info] = call(*port, kSMCCommandReadKeyInfo, "#KEY");
  EXPECT_EQ(codeBytes(info.keyInfo.dataType), "ui32");
  auto [status, reply] = call(*port, kSMCCommandReadBytes, "#KEY");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(std::vector<uint8_t>(reply.bytes, reply.bytes + 4), (std::vector<uint8_t>{0, 0, 0, 4}));
}

TEST_F(AppleSMCPortTest, UnreadableFilesAreFailedCalls) {
  fs::remove(tree.path("keys/0/data"));
  auto port = open();
  EXPECT_EQ(call(*port, kSMCCommandReadKeyInfo, "TC0P").first, 0);
  EXPECT_EQ(call(*port, kSMCCommandReadBytes, "TC0P").first, ENOENT);

  tree.write("keys/1/data_length", "two\n");
  EXPECT_EQ(call(*port, kSMCCommandReadKeyInfo, "FS! ").first, EINVAL);

  fs::remove(tree.path("key_count"));
  std::unique_ptr<SMCPort> none;
  EXPECT_EQ(openAppleSMCPort(tree.root(), none), ENOENT);
  EXPECT_EQ(none, nullptr);
}

// A corrupt key_count: a lookup of a key that is not listed (as a name with
// a byte of 0x80 or more never packs back to itself) walks no further than
// the client's listing would.
TEST_F(AppleSMCPortTest, LookupWalkIsBoundedByTheListingCap) {
  class CountingFiles : public DriverFiles {
   public:
    using DriverFiles::DriverFiles;
    int32_t write(const std::string& path, const std::string& text) override {
      if (path.ends_with("/key_at_index")) {
        ++selects;
        if (std::stoul(text) >= 3) return EINVAL;  // past the keys: no file work
      }
      return DriverFiles::write(path, text);
    }
    uint64_t selects = 0;
  };
  tree.write("key_count", "400000\n");
  auto files = std::make_shared<CountingFiles>(tree);
  std::unique_ptr<SMCPort> port;
  ASSERT_EQ(openAppleSMCPort(tree.root(), port, files), 0);
  EXPECT_EQ(call(*port, kSMCCommandReadKeyInfo, "T\xC3\xA9P").first, ENOENT);
  EXPECT_LE(files->selects, kSMCMaxKeyCount);
  EXPECT_EQ(call(*port, kSMCCommandReadKeyInfo, "FS! ").first, 0);
}

// A hwmon class folder: hwmon0 with temperatures, hwmon1 with its files in
// device/ (older drivers), hwmon2 empty, hwmon10 after hwmon2.
class HwmonPortTest : public ::testing::Test {
 protected:
  HwmonPortTest() {
    tree.write("hwmon0/name", "coretemp\n");
    tree.write("hwmon0/temp1_input", "45000\n");
    tree.write("hwmon0/temp2_input", "-5500");
    tree.write("hwmon0/temp3_input", "hot\n");
    tree.write("hwmon0/temp1_label", "Package id 0\n");
    tree.write("hwmon0/temp1_max", "100000\n");
    tree.write("hwmon0/temp100_input", "1000\n");  // no room in four characters
    tree.write("hwmon1/device/name", "nct6775\n");
    tree.write("hwmon1/device/in0_input", "1200\n");
    tree.write("hwmon1/device/fan2_input", "1500\n");
    tree.write("hwmon1/device/fan2_min", "300\n");
    tree.write("hwmon1/device/fan2_target", "1400\n");
    tree.write("hwmon1/device/power1_average", "12500000\n");
    tree.write("hwmon1/device/curr1_input", "2500\n");
    tree.write("hwmon2/name", "empty\n");
    tree.write("hwmon10/name", "acpitz\n");
    tree.write("hwmon10/temp1_input", "27800\n");
    tree.write("hwmon10/power1_input", "1000000\n");
    tree.write("hwmon10/power1_average", "2000000\n");
    tree.write("unrelated/temp1_input", "1\n");
  }
  std::unique_ptr<SMCPort> open() {
    std::unique_ptr<SMCPort> port;
    EXPECT_EQ(openHwmonPort(tree.root(), port), 0);
    return port;
  }
  std::pair<int32_t, float> reading(SMCPort& port, const std::string& key) {
    auto [status, reply] = call(port, kSMCCommandReadBytes, key);
    return {status, floatOf(reply)};
  }
  TempTree tree;
};

TEST_F(HwmonPortTest, KeyListIsStableAndNamesKindChipAndSensor) {
  auto port = open();
  const std::vector<std::string> expected = {"#KEY", "FNum", "T001", "T002", "T003", "V100", "P101", "I101",
                                             "F0Ac", "F0Mn", "F0Tg", "T301", "P301"};
  EXPECT_EQ(listKeys(*port, 13), expected);
  EXPECT_EQ(call(*port, kSMCCommandReadIndex, "", 13).first, EINVAL);
  EXPECT_EQ(listKeys(*open(), 13), expected);

  auto [status, count] = call(*port, kSMCCommandReadBytes, "#KEY");
  EXPECT_EQ(std::vector<uint8_t>(count.bytes, count.bytes + 4), (std::vector<uint8_t>{0, 0, 0, 13}));
  auto [fanInfoStatus, fanInfo] = call(*port, kSMCCommandReadKeyInfo, "FNum");
  EXPECT_EQ(codeBytes(fanInfo.keyInfo.dataType), "ui8 ");
  EXPECT_EQ(call(*port, kSMCCommandReadBytes, "FNum").second.bytes[0], 1);
}

TEST_F(HwmonPortTest, ReadingsAreFloatsInSIUnits) {
  auto port = open();
  auto [infoStatus, info] = call(*port, kSMCCommandReadKeyInfo, "T001");
  EXPECT_EQ(codeBytes(info.keyInfo.dataType), "flt ");
  EXPECT_EQ(info.keyInfo.dataSize, 4u);
  struct Case {
    std::string key;
    float value;
  } cases[] = {{"T001", 45.0f}, {"T002", -5.5f}, {"V100", 1.2f}, {"P101", 12.5f}, {"I101", 2.5f},
               {"F0Ac", 1500.0f}, {"F0Mn", 300.0f}, {"F0Tg", 1400.0f}, {"T301", 27.8f}, {"P301", 1.0f}};
  for (const auto& c : cases) EXPECT_EQ(reading(*port, c.key), std::make_pair(0, c.value)) << c.key;
}

TEST_F(HwmonPortTest, BadOrVanishedReadingsAreFailedCalls) {
  auto port = open();
  EXPECT_EQ(reading(*port, "T003").first, EINVAL);
  fs::remove(tree.path("hwmon0/temp1_input"));
  EXPECT_EQ(reading(*port, "T001").first, ENOENT);
  EXPECT_EQ(reading(*port, "T999").first, ENOENT);
  tree.write("hwmon0/temp2_input", "");
  EXPECT_EQ(reading(*port, "T002").first, EINVAL);
}

// A value file is parsed whole or not at all, never from a prefix.
TEST_F(HwmonPortTest, LongValueFilesAreReadWholeOrDropped) {
  auto port = open();
  tree.write("hwmon0/temp1_input", std::string(70, '0') + "45000\n");
  EXPECT_EQ(reading(*port, "T001"), std::make_pair(0, 45.0f));
  tree.write("hwmon0/temp1_input", std::string(sysfs::kIntegerFileLimit, '0') + "45000\n");
  EXPECT_EQ(reading(*port, "T001").first, EFBIG);
}

TEST(OpenSMCPort, PicksTheFirstPortThatExists) {
  TempTree tree;
  SMCPortRoots roots{tree.path("applesmc.768"), tree.path("hwmon")};
  SMCOpening none = openSMCPort(roots);
  EXPECT_EQ(none.lookupStatus, 0);
  EXPECT_FALSE(none.found);

  tree.write("hwmon/hwmon0/temp1_input", "1000\n");
  SMCOpening hwmon = openSMCPort(roots);
  EXPECT_TRUE(hwmon.found);
  ASSERT_NE(hwmon.port, nullptr);
  EXPECT_NE(dynamic_cast<HwmonPort*>(hwmon.port.get()), nullptr);

  tree.write("applesmc.768/key_at_index", "");  // the folder, but no key_count
  SMCOpening apple = openSMCPort(roots);
  EXPECT_TRUE(apple.found);
  EXPECT_EQ(apple.openStatus, ENOENT);
  EXPECT_EQ(apple.port, nullptr);

  tree.write("applesmc.768/key_count", "0\n");
  EXPECT_NE(dynamic_cast<AppleSMCPort*>(openSMCPort(roots).port.get()), nullptr);

  fs::create_symlink("loop", tree.path("loop"));
  SMCOpening broken = openSMCPort({tree.path("loop"), tree.path("hwmon")});
  EXPECT_EQ(broken.lookupStatus, ELOOP);
}

TEST(SMCErrorText, SystemTextsForStatuses) {
  EXPECT_EQ(smcErrorText(0), "Success");
  EXPECT_EQ(smcErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(smcErrorText(-12345), "Unknown error -12345");
}

}  // namespace
}  // namespace controllers
