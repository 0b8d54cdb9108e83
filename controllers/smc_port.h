// The controller port: how the thermwatch controller client reaches a System
// Management Controller. A port answers one kind of call, the structure call:
// an 80-byte request in, an 80-byte reply out, and a status (0 = success,
// otherwise an errno value whose text `smcErrorText` gives).
//
// Ports on Linux:
//   - applesmc_port.h: the Apple SMC through the `applesmc` driver's sysfs files;
//   - hwmon_port.h: a virtual controller made from the kernel's hwmon sensors;
//   - smc_port_fake.h: a scripted controller for tests.
// `openSMCPort` picks the first real port that exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace controllers {

// The request and reply structure of the structure call, laid out exactly as
// the controller's kernel client expects: 80 bytes, host byte order, the
// alignment gaps sent as zero. A value-initialised structure is all zero.
struct vers_t {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint8_t build = 0;
  uint8_t reserved = 0;
  uint16_t release = 0;
};

struct LimitData_t {
  uint16_t version = 0;
  uint16_t length = 0;
  uint32_t cpuPLimit = 0;
  uint32_t gpuPLimit = 0;
  uint32_t memPLimit = 0;
};

struct keyInfo_t {
  uint32_t dataSize = 0;
  uint32_t dataType = 0;
  uint8_t dataAttributes = 0;
};

struct SMCKeyData_t {
  uint32_t key = 0;
  vers_t vers;
  LimitData_t pLimitData;
  keyInfo_t keyInfo;  // its tail (offsets 37-39) holds the device's zero padding
  uint8_t result = 0;
  uint8_t status = 0;
  uint8_t data8 = 0;
  uint32_t data32 = 0;
  uint8_t bytes[32] = {};
};

static_assert(sizeof(SMCKeyData_t) == 80);
static_assert(offsetof(SMCKeyData_t, keyInfo) == 28);
static_assert(sizeof(keyInfo_t) == 12);
static_assert(offsetof(SMCKeyData_t, result) == 40);
static_assert(offsetof(SMCKeyData_t, data8) == 42);
static_assert(offsetof(SMCKeyData_t, data32) == 44);
static_assert(offsetof(SMCKeyData_t, bytes) == 48);

// Command codes carried in `data8`, and the one method selector.
inline constexpr uint32_t kSMCSelectorKernelIndex = 2;
inline constexpr uint8_t kSMCCommandReadBytes = 5;
inline constexpr uint8_t kSMCCommandReadIndex = 8;
inline constexpr uint8_t kSMCCommandReadKeyInfo = 9;

// The most key positions anything walks, whatever count a controller
// claims: a corrupt count (up to 2^32 - 1) must not keep a run busy for
// hours. Real controllers hold a few thousand keys.
inline constexpr uint32_t kSMCMaxKeyCount = 65536;

// An open connection to a controller.
class SMCPort {
 public:
  virtual ~SMCPort() = default;
  // One structure call. The reply is written only where the call has
  // something to say; fields it does not fill keep what the caller put there.
  virtual int32_t callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) = 0;
  // Ends the connection; may be called more than once.
  virtual int32_t close() = 0;
};

// The outcome of looking for a controller and opening it, in the three steps
// the client reports on: the lookup, whether any controller was found, and
// the opening. `port` is set only when all three succeeded.
struct SMCOpening {
  int32_t lookupStatus = 0;  // != 0: the lookup itself failed
  bool found = false;        // false: no controller of any kind exists
  int32_t openStatus = 0;    // != 0: the controller was found but not opened
  std::unique_ptr<SMCPort> port;
};

// Where the real ports look.
struct SMCPortRoots {
  std::string applesmc = "/sys/devices/platform/applesmc.768";
  std::string hwmon = "/sys/class/hwmon";
};

// Opens the first port that exists: applesmc when its folder exists, else the
// hwmon virtual controller when the hwmon class folder exists, else none
// (`found` false). A root that exists but cannot be examined (not ENOENT)
// fails the lookup with its errno.
SMCOpening openSMCPort(const SMCPortRoots& roots = {});

// The text of a status: the system's text for the errno value, or "unknown
// error" when that text is not plain ASCII.
std::string smcErrorText(int32_t status);

// The four raw bytes of a packed code, first byte from the most significant
// bits, and back (missing bytes are zero, extra bytes are ignored). The ports
// use these for the names and type codes the drivers write as raw bytes.
std::string codeBytes(uint32_t code);
uint32_t codeFromBytes(const std::string& bytes);

}  // namespace controllers
