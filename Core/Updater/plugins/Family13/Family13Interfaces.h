#pragma once

#include "Updater/plugins/CommandTable.h"

// Family 0x13: the pedals 1301-1305 and their boot codes. The pedals 1301 and
// 1302 share one boot code, which reports 1341; there is no 1342.
namespace Updater {

using PallamoInterface = TableInterface<0x1301>;
using DorvikInterface = TableInterface<0x1302>;
using KesmetInterface = TableInterface<0x1303>;
using BrennoInterface = TableInterface<0x1304>;
using UlmaraInterface = TableInterface<0x1305>;
using Boot43Interface = TableInterface<0x1343>;
using Boot44Interface = TableInterface<0x1344>;
using Boot45Interface = TableInterface<0x1345>;

// The boot code shared by 1301 and 1302. Which of the two pedals it belongs to
// is learnt from its gender reply, not from its identity.
class Boot13Interface final : public CommandTableInterface {
 public:
  static constexpr uint16_t kKey = 0x1341;
  static_assert(hasCommandTableRow(kKey));

  Boot13Interface() : CommandTableInterface(*findCommandTableRow(kKey)) {
    servedCodes = {0x130041, 0x130042};
  }

  uint32_t rawFidpid() const override { return rawCode_; }

 private:
  uint32_t rawCode_ = 0;
  [[maybe_unused]] bool flag_ = true;                              // not read
  [[maybe_unused]] std::string genderPattern_ = "F0002B5E13..F7";  // not read
};

}  // namespace Updater
