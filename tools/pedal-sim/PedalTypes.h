#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "DataManager/DeviceTypes.h"

// What the simulator knows about each of the twenty pedal types beyond the
// catalogue: how a family talks (acknowledgement style, boot-control protocol,
// programming in user code), which code the boot code reports and which port
// names the pedal shows in each mode.
namespace PedalSim {

enum class AckStyle {
  A,  // F0 00 2B 5E ff pp <cmd> <status> F7
  B,  // F0 00 2B 5E ff pp <cmd> 0C <status> F7
};

enum class Mode { User, Boot, Dfu };

const char* modeName(Mode mode);

// Four version characters in the order a firmware file stores them at byte
// offset 11: units digit, tens digit, major digit, beta marker ('9' beta, '0'
// release). Identity replies carry the same four characters reversed.
using VersionChars = std::array<uint8_t, 4>;

struct Version {
  int major = 1;  // 0-9
  int minor = 0;  // 0-99
  bool beta = false;

  VersionChars chars() const;
  // Beta marker, major, tens, units: the four characters of "..._NNNN_fwu.syx".
  std::string nameCode() const;
  // "1.25" or "1.25(beta)"
  std::string toString() const;

  static Version fromChars(const VersionChars& chars);
  // "1.25", "1.25b" or "1.25beta"; false for anything else.
  static bool parse(const std::string& text, Version& out);
};

// Renders four raw version characters for logs ("1.25(beta)" when they are
// digits, else their hex).
std::string versionText(const VersionChars& chars);

struct TypeTraits {
  uint16_t fidpid = 0;  // user code
  VX::DeviceType type = VX::NoDeviceType;
  uint8_t family() const { return static_cast<uint8_t>(fidpid >> 8); }
  uint8_t userPid() const { return static_cast<uint8_t>(fidpid & 0xFF); }
  // Product byte the boot code reports: pid | 0x40, except that both pedals of
  // family 0x13 served by the shared boot code (1301 and 1302) report 0x41.
  uint8_t bootPid() const;
  // Family 0x12: boot-control protocol, ports kept across restarts.
  bool isVentrix() const { return family() == 0x12; }
  // Families 0x17, 0x19, 0x30 are programmed while their user code runs.
  bool programsInUserCode() const;
  AckStyle ackStyle() const;
  // Pedals whose user code has a DSP code bank to report.
  bool hasDsp() const;
  // The port names the pedal shows in each mode. "In" is the port the pedal
  // receives on (the computer's output), "out" the one it sends on.
  std::string userInPortName() const;
  std::string userOutPortName() const;
  std::string bootPortName() const;
  // File-name friendly product name ("Ros_Mund").
  std::string fileStem() const;
  std::string name() const;
};

// Known user-code fid/pid (0x1702), boot fid/pid (0x1742), catalogue name
// ("Ros Mund", "HOXA") or hex text ("1702"); false when nothing matches.
bool findType(const std::string& text, TypeTraits& out);
bool findType(uint16_t fidpid, TypeTraits& out);

}  // namespace PedalSim
