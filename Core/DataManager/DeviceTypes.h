#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace VX {

// The twenty pedal types. -1 (no type) is what every lookup returns for an
// input it does not know; it is not an enumerator.
enum DeviceType : int32_t {
  Brenno = 0,
  Ulmara = 1,
  Quenda = 2,
  Arbelo = 3,
  Kesmet = 4,
  Orrisk = 5,
  Fennick = 6,
  Yelto = 7,
  Jorvu = 8,
  Rosmund = 9,
  Hoxa = 10,
  Namu = 11,
  Corvel = 12,
  Dorvik = 13,
  Pallamo = 14,
  Wexley = 15,
  Gorrin = 16,
  Tiberon = 17,
  Ilvane = 18,
  Sarnavel = 19,
};

constexpr DeviceType NoDeviceType = static_cast<DeviceType>(-1);
constexpr int DeviceTypeCount = 20;

// Four bytes in memory order; the fourth is 0xFF for a real colour.
using VXColor = std::array<uint8_t, 4>;

struct VXFavoriteSlot {
  VXColor color{};
  int32_t presetNumber = 0;
};

namespace DeviceTypes {

// A fid/pid is family << 8 | product, for example 0x1702. A pedal in its
// boot code reports product | 0x40 (0x1742); masking with 0xFF0F gives the
// user code back.
constexpr uint32_t BootCodeBit = 0x40;
constexpr uint32_t BootCodeMask = 0xFF0F;

DeviceType DeviceTypeFromFidpid(uint32_t fidpid);
uint32_t FidPidFromType(DeviceType type);
DeviceType BootDeviceTypeFromFidpid(uint32_t fidpid);
DeviceType createPedalTypeBy(const std::string& name);
std::string getName(DeviceType type, bool isVirtual);

VXColor getPedalSelectColor(DeviceType type);
VXColor getPedalLogoColor(DeviceType type);
std::map<int, VXFavoriteSlot> getFavoritePresetSlots(DeviceType type);

// The two lookup tables themselves (process-wide constants).
const std::map<uint32_t, DeviceType>& fidpidToTypeTable();
const std::map<DeviceType, uint32_t>& typeToFidpidTable();

}  // namespace DeviceTypes
}  // namespace VX
