// The Apple SMC of an Intel Mac running Linux, through the files of the
// `applesmc` driver (normally /sys/devices/platform/applesmc.768):
// key_count, key_at_index (write an index to choose a key), and the chosen
// key's key_at_index_name, _type, _data_length and _data.
//
// The driver offers no read by key name, so the port learns each key's
// position while the client enumerates, and on a read of a key it has not
// seen yet it walks the key list once, up to kSMCMaxKeyCount positions. "#KEY" is answered from
// key_count (type "ui32", four bytes, big-endian). A name or type shorter
// than four bytes is padded with zero bytes. Every failing file access is a
// failed call with its errno; a key that is not in the list is ENOENT.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "controllers/smc_port.h"
#include "controllers/smc_port_sysfs.h"

namespace controllers {

class AppleSMCPort : public SMCPort {
 public:
  // `files` defaults to the real file system.
  explicit AppleSMCPort(std::string root, std::shared_ptr<sysfs::Files> files = nullptr);
  int32_t callStructMethod(uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output) override;
  int32_t close() override { return 0; }
  // Reads one of the driver's integer files, such as "key_count".
  int32_t readInteger(const std::string& name, int64_t& value);
  // Opens key_at_index for writing now, so that keys can still be chosen
  // after the program has locked itself down.
  void keepKeySelectorOpen();

 private:
  int32_t readKeyCount(uint32_t& count);
  int32_t selectIndex(uint32_t index);
  int32_t readNameAt(uint32_t index, uint32_t& key);
  int32_t findIndex(uint32_t key, uint32_t& index);
  int32_t readKeyInfo(uint32_t key, SMCKeyData_t& output);
  int32_t readBytes(uint32_t key, SMCKeyData_t& output);

  std::string root_;
  std::shared_ptr<sysfs::Files> files_;
  std::unordered_map<uint32_t, uint32_t> indexByKey_;
  bool listWalked_ = false;
};

// Opens the port at `root`: succeeds (0) when key_count can be read, else
// gives that read's errno and leaves `port` empty.
int32_t openAppleSMCPort(const std::string& root, std::unique_ptr<SMCPort>& port,
                         std::shared_ptr<sysfs::Files> files = nullptr);

}  // namespace controllers
