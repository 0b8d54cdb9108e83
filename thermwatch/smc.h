// SMC: the client of the System Management Controller. It opens a controller
// port (controllers/smc_port.h) and builds everything on the port's one
// structure call: a key's byte count and type, a key's bytes, the key at a
// position of the controller's list. Every failure is reported as one plain
// text line on the client's output (standard output in the program) and the
// client carries on; nothing throws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "controllers/smc_port.h"
#include "thermwatch/smc_types.h"

namespace thermwatch {

// What the sensor survey needs from a controller client.
class SensorReader {
 public:
  virtual ~SensorReader() = default;
  virtual std::vector<std::string> getAllKeys() = 0;
  virtual std::optional<double> getValue(const std::string& key) = 0;
};

class SMC : public SensorReader {
 public:
  using Opener = std::function<controllers::SMCOpening()>;

  // Opens the connection (the client's init). A failed opening prints one
  // line and leaves the client without a connection: every call then fails.
  explicit SMC(const Opener& open, FILE* out = stdout);
  // Teardown: closes the connection, printing a line if that fails.
  ~SMC() override;
  SMC(const SMC&) = delete;
  SMC& operator=(const SMC&) = delete;

  // The process-wide client on the machine's real ports, opened on first use
  // and never destroyed, so the connection lasts until the process exits.
  static SMC& shared();

  // Closes the connection and gives the port's status. The connection is
  // kept, so a second close reaches the port again.
  int32_t close();
  // The key's decoded value; no value when the read fails ("Error read(KEY): ...").
  std::optional<double> getValue(const std::string& key) override;
  // The key's "{fds" text; no text when the read fails or the type is another.
  std::optional<std::string> getStringValue(const std::string& key);
  // Every key in the controller's order, as given (untrimmed, duplicates kept).
  // The count comes from "#KEY": a count that is not a finite number is
  // taken as 0, and a count above 65536 as 65536, so that a corrupt count
  // cannot keep the survey busy for hours.
  std::vector<std::string> getAllKeys() override;
  // "F<fan>md" when the controller spells mode keys in lower case (probed
  // once, by reading "F0md"), else "F<fan>Md".
  std::string fanModeKey(int fan);

  static constexpr uint32_t kMaxKeyCount = controllers::kSMCMaxKeyCount;

 private:
  int32_t call(uint8_t selector, const controllers::SMCKeyData_t& input, controllers::SMCKeyData_t& output);
  int32_t read(SMCVal_t& val);
  void printLine(const std::string& line);

  FILE* out_;
  std::unique_ptr<controllers::SMCPort> conn_;  // empty: no connection
  std::optional<bool> _fanModeKeyIsLower;
};

}  // namespace thermwatch
