#pragma once

#include <cstdint>
#include <string_view>

namespace Updater {

// How a pedal acknowledges a firmware message, after its command byte 42/43:
//   A   4[23] <status>        e.g. F0 00 2B 5E 17 42 42 00 F7
//   B   4[23] 0C <status>     e.g. F0 00 2B 5E 13 41 43 0C 00 F7
// Status 00 accepted, 01 rejected, 02 writing failed.
enum class AckStyle { A, B };

// Which acknowledgement keys for cab files ("fwupdate.ircab.*") a table has;
// its "any" and "filecheck" expressions either require the table's own
// product byte or accept any.
enum class CabKeys { None, OwnProduct, AnyProduct };

// One command table class as data. The vocabulary's templates are filled with
// the family and product bytes of `key`.
struct CommandTableRow {
  uint16_t key;                  // family << 8 | product, as the factory knows it
  uint32_t fidpid;               // what fidpid() answers
  std::string_view productName;
  std::string_view portName;
  // Separate input/output port names; both empty when the ports are named
  // like productPortName().
  std::string_view inPortName;
  std::string_view outPortName;
  // False for pedals programmed in user code, message by message; those also
  // end programming with F0 00 2B 5E ff pp 1B 02 00 F7.
  bool hasBootcode;
  bool isBootcode;
  AckStyle ackStyle;
  bool bankKeys;                 // "id.dsp*": the pedal reports its code banks
  bool dspFirmwareKeys;          // "fwupdate.fwd.*"
  CabKeys cabKeys;
  uint8_t loaderUserByte;        // data byte of "loader.set.user" (1C xx)
};

namespace rows {
constexpr bool Boot = true;      // isBootcode
constexpr bool User = false;
constexpr bool Banks = true;     // bankKeys
constexpr bool NoBanks = false;
constexpr bool Dsp = true;       // dspFirmwareKeys
constexpr bool NoDsp = false;
}  // namespace rows

// Boot code tables of families 0x17 and 0x19 answer fidpid() with family 0x0A.
// Boot13 (1341) is the boot code shared by the pedals 1301 and 1302, which
// both report 1341 while in boot code; Boot15 (1541) likewise for 1501.
// clang-format off
inline constexpr CommandTableRow kCommandTableRows[] = {
  // key   fidpid    product     port               in / out ports                            hasBoot isBoot      ack          banks          dsp fw       cab                   loader.set.user
  {0x1301, 0x130001, "Pallamo",  "Pallamo",         "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1302, 0x130002, "Dorvik",   "Dorvik",          "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1303, 0x130003, "Kesmet",   "Kesmet",          "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::AnyProduct,  0x03},
  {0x1304, 0x130004, "Brenno",   "Brenno",          "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1305, 0x130005, "Ulmara",   "Ulmara",          "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1341, 0x130041, "",         "Velorin_Recover", "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1343, 0x130043, "Kesmet",   "Kesmet Update",   "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::OwnProduct,  0x03},
  {0x1344, 0x130044, "Brenno",   "Brenno Update",   "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1345, 0x130045, "Ulmara",   "Ulmara Update",   "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1501, 0x150001, "Tiberon",  "Tiberon",         "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1502, 0x150002, "Gorrin",   "Gorrin",          "", "",                                   true,  rows::User, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1541, 0x150041, "Tiberon",  "Velorin_Recover", "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1542, 0x150042, "Gorrin",   "Gorrin Update",   "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1601, 0x160001, "Wexley",   "Wexley",          "", "",                                   true,  rows::User, AckStyle::B, rows::NoBanks, rows::Dsp,   CabKeys::None,        0x00},
  {0x1641, 0x160041, "Wexley",   "Wexley Update",   "", "",                                   true,  rows::Boot, AckStyle::B, rows::NoBanks, rows::Dsp,   CabKeys::None,        0x00},
  {0x1701, 0x170001, "Fennick",  "",                "Fennick", "Fennick",                     false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1702, 0x170002, "Rosmund",  "",                "Rosmund", "Rosmund",                     false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1703, 0x170003, "HOXA",     "",                "HOXA", "HOXA",                           false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1704, 0x170004, "Jorvu",    "",                "Jorvu", "Jorvu",                         false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1705, 0x170005, "Namu",     "",                "Namu", "Namu",                           false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1706, 0x170006, "Corvel",   "",                "Corvel", "Corvel",                       false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1707, 0x170007, "Yelto",    "",                "Yelto", "Yelto",                         false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1741, 0x0A0041, "Fennick",  "Fennick Update",  "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1742, 0x0A0042, "Rosmund",  "Rosmund Update",  "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1743, 0x0A0043, "HOXA",     "HOXA Update",     "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1744, 0x0A0044, "Jorvu",    "Jorvu Update",    "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1745, 0x0A0045, "Namu",     "Namu Update",     "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1746, 0x0A0046, "Corvel",   "Corvel Update",   "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1747, 0x0A0047, "Yelto",    "Yelto Update",    "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1901, 0x190001, "Sarnavel", "",                "Sarnavel", "Sarnavel",                   false, rows::User, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x1941, 0x0A0041, "Sarnavel", "Sarnavel Update", "", "",                                   true,  rows::Boot, AckStyle::A, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
  {0x3001, 0x300001, "Ilvane",   "",                "MIDIIN6 (Ilvane)", "MIDIOUT6 (Ilvane)",  false, rows::User, AckStyle::B, rows::NoBanks, rows::NoDsp, CabKeys::None,        0x00},
  {0x3041, 0x300041, "Ilvane",   "Ilvane Update",   "", "",                                   true,  rows::Boot, AckStyle::B, rows::Banks,   rows::Dsp,   CabKeys::None,        0x00},
};
// clang-format on

constexpr bool hasCommandTableRow(uint16_t key) {
  for (const auto& row : kCommandTableRows)
    if (row.key == key) return true;
  return false;
}

constexpr const CommandTableRow* findCommandTableRow(uint16_t key) {
  for (const auto& row : kCommandTableRows)
    if (row.key == key) return &row;
  return nullptr;
}

}  // namespace Updater
