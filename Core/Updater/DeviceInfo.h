#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "DataManager/DeviceTypes.h"
#include "Updater/Connection.h"
#include "Updater/DeviceInterface.h"
#include "Updater/MidiConnection.h"
#include "Updater/Port.h"

namespace Updater {

// One discovered device, shared by the whole program. Written by the scanner
// under its device-table lock; everyone else reads the fields as snapshots
// through the shared pointer, without a lock.
class DeviceInfo {
 public:
  explicit DeviceInfo(std::shared_ptr<Connection> conn);

  // fid << 8 | pid (0x1701): the key of the type catalogue and of the
  // interface factory.
  int getFidPid2Bytes() const;
  // fid << 16 | pid with the boot code bit 0x40 cleared, so a pedal's user
  // and boot code give the same value: 0x170041 and 0x170001 both 0x170001.
  int getGender() const;

  // Null once the scanner has dropped every device.
  std::shared_ptr<Connection> connection;
  bool present = false;
  int32_t lastSeenCycle = 0;
  // The serial number as the ASCII characters of its upper-case hex digits
  // (two per serial byte), or the proxy ESN of a device behind a foreign port.
  std::vector<uint8_t> esn;
  uint8_t fid = 0x7F;
  // A high nibble of 4 (0x40-0x4F): the device runs its boot code.
  uint8_t pid = 0x7F;
  // For boot code, the type the boot code belongs to.
  VX::DeviceType type = VX::NoDeviceType;
  std::shared_ptr<DeviceInterface> deviceInterface;
  // User-code version as ASCII digits; reads major "." tens units (1.23).
  char versionMajor = 0;
  char versionMinorUnits = 0;
  char versionMinorTens = 0;
  // Flag byte, then major, tens and units digits as ASCII.
  std::array<uint8_t, 4> dspVersion{};
  bool isBeta = false;
  // More than one device answered on the same input port; never cleared.
  bool isChained = false;
  // Answered through a port that is not the pedal's own USB port; identified
  // by a proxy ESN and not updatable this way. Never cleared.
  bool isConnectionUnsupported = false;
};

// Records are the same device when their ESNs are; nothing else is compared.
bool operator==(const DeviceInfo& a, const DeviceInfo& b);

// The scanner's working record of one device heard on one MIDI input port.
struct MidiPortData {
  std::shared_ptr<DeviceInfo> device;
  std::shared_ptr<MidiConnection> connection;
  std::shared_ptr<MidiPortIn> inputPort;
  std::shared_ptr<MidiPortOut> outputPort;
  // From the identity reply F0 7E <id> 06 02 <mfr x3> <fid> 00 <pid> 00
  // <beta> <major> <tens> <units> F7. fid 0 means the entry is still free.
  uint8_t fid = 0;
  uint8_t pid = 0;
  uint8_t deviceId = 0;
  VX::DeviceType type = VX::NoDeviceType;
  std::vector<uint8_t> esn;
  char versionMajor = 0;       // reply byte 13
  char versionMinorTens = 0;   // reply byte 14
  char versionMinorUnits = 0;  // reply byte 15
  bool isBeta = false;         // reply byte 12 is '9'
};

// Fills a device record from the port entry that identified it and links the
// entry to the record. Versions are taken only from a user-code identity: a
// boot code reports its own, and the scanner asks for the user code's
// separately. The shared boot code 1341 gets no type here; its gender reply
// decides which pedal it belongs to. Returns false for a null record.
bool initalizeDevice(const std::shared_ptr<DeviceInfo>& info, MidiPortData& portData,
                     const std::vector<uint8_t>& esn);

}  // namespace Updater
