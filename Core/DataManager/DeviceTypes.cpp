#include "DataManager/DeviceTypes.h"

#include <algorithm>
#include <initializer_list>

namespace VX::DeviceTypes {
namespace {

struct CatalogueRow {
  DeviceType type;
  uint32_t fidpid;      // user code; the boot code is fidpid | BootCodeBit
  const char* name;     // exact: these are also repository folder names
  VXColor selectColor;  // all zero: no colour
  VXColor logoColor;
};

constexpr VXColor kNoColor{0, 0, 0, 0};

// clang-format off
constexpr CatalogueRow kCatalogue[DeviceTypeCount] = {
  {Brenno,   0x1304, "Brenno",   {0xE0, 0xEC, 0x5C, 0xFF}, {0xB7, 0xBF, 0x62, 0xFF}},
  {Ulmara,   0x1305, "Ulmara",   {0x40, 0x77, 0xB6, 0xFF}, {0x2E, 0x5C, 0x90, 0xFF}},
  {Quenda,   0x1202, "Quenda",   {0x01, 0x70, 0xC1, 0xFF}, {0x01, 0x70, 0xC1, 0xFF}},
  {Arbelo,   0x1201, "Arbelo",   {0x99, 0xA4, 0xA9, 0xFF}, {0x8E, 0x8D, 0x93, 0xFF}},
  {Kesmet,   0x1303, "Kesmet",   {0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0xFF}},
  {Orrisk,   0x1203, "Orrisk",   {0x5C, 0xC9, 0xF4, 0xFF}, {0x00, 0x9A, 0xC2, 0xFF}},
  {Fennick,  0x1701, "Fennick",  {0xB9, 0x55, 0xF2, 0xFF}, {0xB9, 0x55, 0xF2, 0xFF}},
  {Yelto,    0x1707, "Yelto",    {0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0xFF}},
  {Jorvu,    0x1704, "Jorvu",    {0x8F, 0x4A, 0x44, 0xFF}, {0x76, 0x36, 0x30, 0xFF}},
  {Rosmund,  0x1702, "Ros Mund", {0xE6, 0xE6, 0xE6, 0xFF}, {0x52, 0x59, 0x61, 0xFF}},
  {Hoxa,     0x1703, "HOXA",     {0xEB, 0x80, 0xA4, 0xFF}, {0xEB, 0x80, 0xA4, 0xFF}},
  {Namu,     0x1705, "Namu",     {0xDD, 0xDA, 0xD8, 0xFF}, {0xDD, 0xDA, 0xD8, 0xFF}},
  {Corvel,   0x1706, "corVel",   {0x00, 0x9A, 0xC2, 0xFF}, {0x00, 0x9A, 0xC2, 0xFF}},
  {Dorvik,   0x1302, "Dorvik",   kNoColor, kNoColor},
  {Pallamo,  0x1301, "Pallamo",  kNoColor, kNoColor},
  {Wexley,   0x1601, "Wexley",   kNoColor, kNoColor},
  {Gorrin,   0x1502, "Gorrin",   kNoColor, kNoColor},
  {Tiberon,  0x1501, "Tiberon",  kNoColor, kNoColor},
  {Ilvane,   0x3001, "Ilvane",   kNoColor, kNoColor},
  {Sarnavel, 0x1901, "Sarnavel", {0x00, 0x9A, 0xC2, 0xFF}, {0x00, 0x9A, 0xC2, 0xFF}},
};

// Names that createPedalTypeBy accepts, tried in this order; the first hit wins.
struct NamedType {
  DeviceType type;
  std::initializer_list<const char*> names;
};
const NamedType kParsableNames[] = {
  {Ulmara,  {"Ulmara", "ulmara"}},
  {Brenno,  {"Brenno", "brenno"}},
  {Fennick, {"Fennick", "fennick"}},
  {Kesmet,  {"Kesmet", "kesmet"}},
  {Yelto,   {"Yelto", "yelto"}},
  {Jorvu,   {"Jorvu", "jorvu"}},
  {Rosmund, {"Ros Mund", "ros mund"}},
  {Hoxa,    {"Hoxa", "hoxa", "HOXA"}},
  {Namu,    {"Namu", "namu"}},
  {Corvel,  {"Corvel", "corvel", "corVel"}},
};
// clang-format on

const CatalogueRow* rowOf(DeviceType type) {
  const int t = static_cast<int>(type);
  if (t < 0 || t >= DeviceTypeCount) return nullptr;
  return &kCatalogue[t];
}

}  // namespace

const std::map<uint32_t, DeviceType>& fidpidToTypeTable() {
  static const std::map<uint32_t, DeviceType> table = [] {
    std::map<uint32_t, DeviceType> m;
    for (const auto& row : kCatalogue) m.emplace(row.fidpid, row.type);
    return m;
  }();
  return table;
}

const std::map<DeviceType, uint32_t>& typeToFidpidTable() {
  static const std::map<DeviceType, uint32_t> table = [] {
    std::map<DeviceType, uint32_t> m;
    for (const auto& row : kCatalogue) m.emplace(row.type, row.fidpid);
    return m;
  }();
  return table;
}

// Filled before main() so that every thread sees finished tables.
[[maybe_unused]] const bool kTablesReady = (fidpidToTypeTable(), typeToFidpidTable(), true);

DeviceType DeviceTypeFromFidpid(uint32_t fidpid) {
  const auto& t = fidpidToTypeTable();
  const auto it = t.find(fidpid);
  return it == t.end() ? NoDeviceType : it->second;
}

uint32_t FidPidFromType(DeviceType type) {
  const auto& t = typeToFidpidTable();
  const auto it = t.find(type);
  return it == t.end() ? 0 : it->second;
}

DeviceType BootDeviceTypeFromFidpid(uint32_t fidpid) {
  for (const auto& row : kCatalogue) {
    if ((row.fidpid | BootCodeBit) == fidpid) return row.type;
  }
  return NoDeviceType;
}

DeviceType createPedalTypeBy(const std::string& name) {
  for (const auto& entry : kParsableNames) {
    for (const char* accepted : entry.names) {
      if (name == accepted) return entry.type;
    }
  }
  return NoDeviceType;
}

std::string getName(DeviceType type, bool isVirtual) {
  const CatalogueRow* row = rowOf(type);
  if (row == nullptr) return {};
  return isVirtual ? std::string("Virtual ") + row->name : std::string(row->name);
}

VXColor getPedalSelectColor(DeviceType type) {
  const CatalogueRow* row = rowOf(type);
  return row ? row->selectColor : kNoColor;
}

VXColor getPedalLogoColor(DeviceType type) {
  const CatalogueRow* row = rowOf(type);
  return row ? row->logoColor : kNoColor;
}

std::map<int, VXFavoriteSlot> getFavoritePresetSlots(DeviceType type) {
  constexpr VXColor green{0x27, 0xE4, 0x50, 0xFF};
  constexpr VXColor orange{0xF0, 0x7B, 0x00, 0xFF};
  std::map<int, VXFavoriteSlot> slots;
  if (type == Brenno) {
    for (int i = 0; i < 8; ++i) slots[i] = {green, i};
  } else if (type == Ulmara) {
    for (int i = 0; i < 8; ++i) slots[i] = {green, i + 1};
    for (int i = 8; i < 16; ++i) slots[i] = {orange, i - 7};
  }
  return slots;
}

}  // namespace VX::DeviceTypes
