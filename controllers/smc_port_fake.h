// A scripted controller for tests of the controller client: a table of keys
// with their type, byte count and bytes, a key list, positions or keys whose
// calls fail with a given status, and a log of every request received.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "controllers/smc_port.h"

namespace controllers {

class FakeSMCPort : public SMCPort {
 public:
  struct Value {
    std::string type;             // four raw bytes
    uint32_t size = 0;            // byte count the key-info call reports
    std::vector<uint8_t> bytes;   // bytes the bytes call gives (up to 32 are sent)
    int32_t infoStatus = 0;       // != 0: the key-info call fails with it
    int32_t bytesStatus = 0;      // != 0: the bytes call fails with it
  };

  // Adds a readable key (`size` defaults to the number of bytes) and lists
  // it at the end of the key list.
  FakeSMCPort& key(const std::string& name, const std::string& type, std::vector<uint8_t> bytes,
                   int64_t size = -1);
  // Scripts a key without listing it.
  FakeSMCPort& unlisted(const std::string& name, Value value);
  // "#KEY" as a ui32 holding `count` (not listed).
  FakeSMCPort& keyCount(uint32_t count);

  int32_t callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) override;
  int32_t close() override;

  std::map<uint32_t, Value> values;            // by packed key
  std::vector<uint32_t> listed;                // the key list, by position
  std::map<uint32_t, int32_t> failingPositions;  // position -> status of its read
  std::vector<SMCKeyData_t> requests;          // every request, in order
  std::vector<uint32_t> selectors;             // every selector, in order
  int32_t closeStatus = 0;
  int closeCalls = 0;
};

}  // namespace controllers
