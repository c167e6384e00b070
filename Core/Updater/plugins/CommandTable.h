#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Updater/DeviceInterface.h"
#include "Updater/plugins/CommandTableRows.h"

namespace Updater {

// The concrete table of every pedal and boot code, built from its row. The
// named classes differ from each other only in the row they are built from.
class CommandTableInterface : public DeviceInterface {
 public:
  explicit CommandTableInterface(const CommandTableRow& row);

  bool isNak(const MidiBytes& reply) const override;
  std::string classVersion() const override;
  bool hasBootcode() const override;
  MidiBytes lastProgrammingMsg() const override;
  std::string productPortName() const override;
  std::string productInPortName() const override;
  std::string productOutPortName() const override;
  std::string productName() const override;
  uint32_t fidpid() const override;
  std::any lookup(const std::string& key) const override;
  int lookupInt(const std::string& key) const override;
  std::string lookupStr(const std::string& key) const override;
  bool isBootcode() const override;

  // Every key of the table, in order.
  std::vector<std::string> keys() const;

 protected:
  // fid << 16 | pid of every code this table serves; not read by the updater.
  std::vector<uint32_t> servedCodes;

 private:
  CommandTableRow row_;
  // Values are std::string (dense text, no blanks) or int32_t.
  std::map<std::string, std::any> table_;
  [[maybe_unused]] std::string version_ = "0000";  // not read
  [[maybe_unused]] std::string extra_;             // not read
  std::string productName_;
};

// One named table class per row: TableInterface<0x1742> is the boot code
// table of the pedal 1702.
template <uint16_t Key>
class TableInterface final : public CommandTableInterface {
  static_assert(hasCommandTableRow(Key), "no command table row for this key");

 public:
  static constexpr uint16_t kKey = Key;
  TableInterface() : CommandTableInterface(*findCommandTableRow(Key)) {}
};

}  // namespace Updater
