// A virtual controller made from the kernel's hwmon sensors
// (/sys/class/hwmon/hwmonN, the files lm-sensors reads), so that thermwatch
// lists a machine's temperatures, voltages, power and current readings and
// fans on any Linux machine.
//
// Its key list, fixed when the port opens:
//   "#KEY" (ui32)  the number of keys in the list, itself included;
//   "FNum" (ui8)   the number of fans, listed only when there is one;
//   then chip by chip (hwmonN in ascending N; chip c is written as the c-th
//   character of 0-9A-Za-z), one key of type "flt " per reading, in SI units:
//     "T" c KK  tempKK_input / 1000        (°C)
//     "V" c KK  inKK_input / 1000          (V)
//     "P" c KK  powerKK_input, else powerKK_average, / 1e6 (W)
//     "I" c KK  currKK_input / 1000        (A)
//   with KK the sensor number in two decimal digits, and for each fan n
//   (counted over all chips, written like c): "F" n "Ac" (fanK_input), "Mn"
//   (fanK_min), "Mx" (fanK_max), "Tg" (fanK_target), in RPM.
// Keys are stable from run to run on one machine and unique. Readings past
// what four characters can name (more than 62 chips or fans, a sensor number
// above 99) are left out. A chip whose files sit in hwmonN/device (older
// drivers) is read there. Values are read when the client asks for a key's
// bytes: a sensor that fails to read then (vanished, asleep, not an integer)
// is a failed call with its errno, which the client drops.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "controllers/smc_port.h"

namespace controllers {

class HwmonPort : public SMCPort {
 public:
  struct Entry {
    uint32_t key = 0;
    uint32_t type = 0;     // packed type code
    uint32_t size = 0;     // byte count
    std::string path;      // the sysfs file of a reading; empty for "#KEY" and "FNum"
    double scale = 1;      // the file's integer is divided by this
    uint32_t count = 0;    // the value of "#KEY" and "FNum"
  };

  explicit HwmonPort(std::vector<Entry> entries);
  int32_t callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) override;
  int32_t close() override { return 0; }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<uint32_t, size_t> indexByKey_;
};

// Lists the sensors under `root` and makes the port. Fails only when `root`
// itself cannot be listed (its errno); chips that cannot be listed are skipped.
int32_t openHwmonPort(const std::string& root, std::unique_ptr<SMCPort>& port);

}  // namespace controllers
