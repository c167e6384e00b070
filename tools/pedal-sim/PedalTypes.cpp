#include "PedalTypes.h"

#include <cctype>
#include <cstdio>

namespace PedalSim {
namespace {

struct PortRow {
  uint16_t fidpid;
  const char* bootPort;  // "" : the pedal keeps its user-code ports
};

// Port names of the boot codes. Families 0x13 and 0x15 share one boot code
// that calls its port "Velorin_Recover".
// clang-format off
constexpr PortRow kPortRows[] = {
  {0x1201, ""}, {0x1202, ""}, {0x1203, ""},
  {0x1301, "Velorin_Recover"}, {0x1302, "Velorin_Recover"},
  {0x1303, "Kesmet Update"}, {0x1304, "Brenno Update"}, {0x1305, "Ulmara Update"},
  {0x1501, "Velorin_Recover"}, {0x1502, "Gorrin Update"},
  {0x1601, "Wexley Update"},
  {0x1701, "Fennick Update"}, {0x1702, "Rosmund Update"}, {0x1703, "HOXA Update"},
  {0x1704, "Jorvu Update"}, {0x1705, "Namu Update"}, {0x1706, "Corvel Update"},
  {0x1707, "Yelto Update"},
  {0x1901, "Sarnavel Update"},
  {0x3001, "Ilvane Update"},
};
// clang-format on

bool isDigitChar(uint8_t c) { return c >= '0' && c <= '9'; }

// Lower case without blanks: "Ros Mund", "rosmund" and "ROS MUND" are one name.
std::string folded(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ') out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

}  // namespace

const char* modeName(Mode mode) {
  switch (mode) {
    case Mode::User: return "user";
    case Mode::Boot: return "boot";
    case Mode::Dfu: return "dfu";
  }
  return "?";
}

VersionChars Version::chars() const {
  return {static_cast<uint8_t>('0' + minor % 10), static_cast<uint8_t>('0' + (minor / 10) % 10),
          static_cast<uint8_t>('0' + major % 10), static_cast<uint8_t>(beta ? '9' : '0')};
}

std::string Version::nameCode() const {
  const VersionChars c = chars();
  return {static_cast<char>(c[3]), static_cast<char>(c[2]), static_cast<char>(c[1]),
          static_cast<char>(c[0])};
}

std::string Version::toString() const {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d%s", major, minor, beta ? "(beta)" : "");
  return text;
}

Version Version::fromChars(const VersionChars& c) {
  Version v;
  v.major = c[2] - '0';
  v.minor = (c[1] - '0') * 10 + (c[0] - '0');
  v.beta = c[3] == '9';
  return v;
}

bool Version::parse(const std::string& text, Version& out) {
  int major = 0, minor = 0, used = 0;
  if (std::sscanf(text.c_str(), "%d.%d%n", &major, &minor, &used) != 2) return false;
  const std::string rest = text.substr(static_cast<size_t>(used));
  if (!rest.empty() && rest != "b" && rest != "beta") return false;
  if (major < 0 || major > 9 || minor < 0 || minor > 99) return false;
  // "1.5" means 1.05: the minor number is written with two digits.
  out = Version{major, minor, !rest.empty()};
  return true;
}

std::string versionText(const VersionChars& c) {
  if (isDigitChar(c[0]) && isDigitChar(c[1]) && isDigitChar(c[2])) return Version::fromChars(c).toString();
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", c[0], c[1], c[2], c[3]);
  return text;
}

uint8_t TypeTraits::bootPid() const {
  if (fidpid == 0x1301 || fidpid == 0x1302) return 0x41;
  return static_cast<uint8_t>(userPid() | 0x40);
}

bool TypeTraits::programsInUserCode() const {
  const uint8_t f = family();
  return f == 0x17 || f == 0x19 || f == 0x30;
}

AckStyle TypeTraits::ackStyle() const {
  const uint8_t f = family();
  return (f == 0x17 || f == 0x19) ? AckStyle::A : AckStyle::B;
}

bool TypeTraits::hasDsp() const { return fidpid != 0x1601 && fidpid != 0x3001 && !isVentrix(); }

std::string TypeTraits::name() const { return VX::DeviceTypes::getName(type, false); }

std::string TypeTraits::userInPortName() const {
  // The computer's output towards the pedal.
  if (fidpid == 0x3001) return "MIDIOUT6 (Ilvane)";
  return name();
}

std::string TypeTraits::userOutPortName() const {
  if (fidpid == 0x3001) return "MIDIIN6 (Ilvane)";
  return name();
}

std::string TypeTraits::bootPortName() const {
  for (const PortRow& row : kPortRows) {
    if (row.fidpid == fidpid) return row.bootPort;
  }
  return {};
}

std::string TypeTraits::fileStem() const {
  std::string stem = name();
  for (char& c : stem) {
    if (c == ' ') c = '_';
  }
  return stem;
}

bool findType(uint16_t fidpid, TypeTraits& out) {
  uint32_t code = fidpid;
  VX::DeviceType type = VX::DeviceTypes::DeviceTypeFromFidpid(code);
  if (type == VX::NoDeviceType) {
    type = VX::DeviceTypes::BootDeviceTypeFromFidpid(code);
    if (type == VX::NoDeviceType) return false;
    code = VX::DeviceTypes::FidPidFromType(type);
  }
  out.fidpid = static_cast<uint16_t>(code);
  out.type = type;
  return true;
}

bool findType(const std::string& text, TypeTraits& out) {
  for (int t = 0; t < VX::DeviceTypeCount; ++t) {
    const auto type = static_cast<VX::DeviceType>(t);
    if (folded(VX::DeviceTypes::getName(type, false)) == folded(text)) return findType(static_cast<uint16_t>(VX::DeviceTypes::FidPidFromType(type)), out);
  }
  if (text.size() != 4) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return findType(static_cast<uint16_t>(std::stoul(text, nullptr, 16)), out);
}

}  // namespace PedalSim
