#include "Updater/FirmwareFile.h"

#include <any>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Updater/DeviceInfo.h"
#include "Updater/DeviceInterface.h"
#include "Utils/StringUtils.h"
#include "Utils/Trace.h"

namespace Updater {

namespace {

constexpr size_t kMinProtocolMessage = 7;  // F0 00 2B 5E ff pp F7

// A string value of the table, or "" when the key is missing or holds a number.
std::string tableString(const DeviceInterface& table, const std::string& key) {
  const std::any value = table.lookup(key);
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  return {};
}

// Compiles a non-empty expression into out. A table entry that does not
// compile counts as missing rather than escaping as an exception.
bool compile(const std::string& expression, std::regex& out) {
  if (expression.empty()) return false;
  try {
    out = std::regex(expression, std::regex::ECMAScript);
    return true;
  } catch (const std::regex_error&) {
    Trace::print("Bad response expression: %s\n", expression.c_str());
    return false;
  }
}

}  // namespace

bool FwUpdateProtocol::isBinaryFile(const MidiMessages& messages) {
  if (messages.size() < 2000) return false;
  const MidiBytes& first = messages.front();
  return first.size() > 24 && first[0] == 0xF0 && first[2] == 0x2B && first[3] == 0x5E &&
         first[6] == 0x4A && first[7] == 0x0C;
}

bool FwUpdateProtocol::isPastaFile(const MidiMessages& messages) {
  if (messages.size() < 2000) return false;
  const MidiBytes& first = messages.front();
  static const MidiBytes kHead{0xF0, 0x00, 0x2B, 0x5E, 0x13, 0x03, 0x6D, 0x01};
  return first.size() > 20 && std::equal(kHead.begin(), kHead.end(), first.begin());
}

MidiMessages loadMidiFile(const std::string& path) {
  if (path.empty()) return {};
  // Only plain files: a folder or a device node is nothing to program (and
  // reading a folder throws).
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return {};
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  MidiBytes bytes;
  try {
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return {};
  }
  if (bytes.empty()) return {};
  return splitOnStatus(bytes);
}

MidiMessages splitOnStatus(const MidiBytes& bytes) {
  MidiMessages messages;
  MidiBytes current;
  for (const uint8_t byte : bytes) {
    if (byte < 0x80 || current.empty()) {
      current.push_back(byte);
    } else if (byte == 0xF7) {
      current.push_back(byte);
      messages.push_back(std::move(current));
      current.clear();
    } else {
      messages.push_back(std::move(current));
      current.clear();
      current.push_back(byte);
    }
  }
  if (!current.empty()) messages.push_back(std::move(current));
  return messages;
}

TypeOfCode typeFromFilename(const std::string& path) {
  std::string name = path;
  lowercase(&name);
  if (name.find("fwu.syx") != std::string::npos || name.find("user.syx") != std::string::npos)
    return TypeOfCode::Fwu;
  if (name.find("fwd.syx") != std::string::npos) return TypeOfCode::Fwd;
  if (name.find("fwb.syx") != std::string::npos) return TypeOfCode::Fwb;

  // The dot before "syx" is a wildcard, as it always was.
  struct Rule {
    const char* expression;
    TypeOfCode type;
  };
  static const Rule kRules[] = {
      {"(.*)cab[0-9n]+[a-z]_(v|)([0-9])([0-9])([0-9])([0-9]).syx", TypeOfCode::Cab},
      {"(.*)dsp_(v|)([0-9])([0-9])([0-9])([0-9]).syx", TypeOfCode::Fwd},
      {"(.*)user_(v?)([0-9])([0-9])([0-9])([0-9]).syx", TypeOfCode::Fwu},
      {"(.*)rev[0-9]_(v|)([0-9])([0-9])([0-9])([0-9]).syx", TypeOfCode::Rev},
      {"(.*)fprst_(v|)([0-9])([0-9])([0-9])([0-9]).syx", TypeOfCode::Fprst},
      {"(.*)(x[0-9]+.syx)", TypeOfCode::X},
  };
  static const std::vector<std::regex> kCompiled = [] {
    std::vector<std::regex> out;
    for (const Rule& rule : kRules) out.emplace_back(rule.expression);
    return out;
  }();
  for (size_t i = 0; i < kCompiled.size(); ++i) {
    if (std::regex_match(name, kCompiled[i])) return kRules[i].type;
  }
  return TypeOfCode::Unknown;
}

std::string codeTypeToStrDecorator(TypeOfCode type) {
  switch (type) {
    case TypeOfCode::Fwu:
    case TypeOfCode::X:
      return "fwu";
    case TypeOfCode::Fwd:
      return "fwd";
    case TypeOfCode::Fwb:
      return "fwb";
    case TypeOfCode::Cab:
      return "cab";
    case TypeOfCode::Rev:
      return "rev";
    case TypeOfCode::Fprst:
      return "fprst";
    default:
      return "unk";
  }
}

FwUpdateProtocol getUpdateProtocol(const std::shared_ptr<DeviceInfo>& device,
                                   const std::string& path, const MidiMessages& messages,
                                   bool localFile) {
  FwUpdateProtocol protocol;
  if (messages.empty() || messages.front().size() < kMinProtocolMessage ||
      messages.back().size() < kMinProtocolMessage)
    return protocol;
  if (!device || !device->deviceInterface) return protocol;
  const DeviceInterface& table = *device->deviceInterface;

  const TypeOfCode type = localFile ? TypeOfCode::Fwu : typeFromFilename(path);
  if (!table.hasDSP() && type == TypeOfCode::Fwd) return protocol;
  const std::string decorator = codeTypeToStrDecorator(type);

  const auto value = static_cast<int32_t>(type);
  if (type == TypeOfCode::Unknown) {
    protocol.gender = FwUpdateProtocol::kUnknownGender;
    return protocol;
  }
  if (value < 1 || value > 7) return protocol;

  protocol.type = type;
  const std::string prefix = "fwupdate." + decorator;
  protocol.hasAny = compile(tableString(table, prefix + ".response.any"), protocol.any);
  protocol.hasBad = compile(tableString(table, prefix + ".response.bad"), protocol.bad);
  protocol.hasFailed = compile(tableString(table, prefix + ".response.failed"), protocol.failed);
  protocol.hasGood = compile(tableString(table, prefix + ".response.good"), protocol.good);
  protocol.hasFileCheck = compile(tableString(table, prefix + ".filecheck"), protocol.fileCheck);
  const std::any timeout = table.lookup("command.timeout.ms");
  if (const auto* ms = std::any_cast<int32_t>(&timeout)) protocol.commandTimeout = *ms;
  return protocol;
}

}  // namespace Updater
