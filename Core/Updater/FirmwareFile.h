#pragma once

#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "Updater/plugins/Ventrix/HexUtil.h"

namespace Updater {

class DeviceInfo;

// A firmware file's SysEx messages in file order.
using MidiMessages = std::vector<MidiBytes>;

// The kind of code a firmware file holds, chosen by its name. Values 4-7 are
// not used.
enum class TypeOfCode : int32_t {
  Unknown = 0,
  Fwu = 1,  // user code
  Fwd = 2,  // DSP code
  X = 3,    // numbered "x" files, programmed like user code
  Fwb = 8,
  Cab = 9,
  Rev = 10,
  Fprst = 11,
};

// How the pedal acknowledges the messages of one file: regular expressions
// over the dense upper-case hex text of a reply ("F0002B5E1742420C00F7"),
// taken from the pedal's command table.
class FwUpdateProtocol {
 public:
  // Every expression and the time-out are known.
  bool isOk() const { return hasAny && hasBad && hasFailed && hasGood && hasFileCheck; }
  bool genderMismatch() const { return type == TypeOfCode::Unknown; }
  // Large files of two particular layouts; not used by the update flows.
  static bool isBinaryFile(const MidiMessages& messages);
  static bool isPastaFile(const MidiMessages& messages);

  static constexpr uint32_t kUnknownGender = 0x7F007F;

  uint32_t gender = 0;  // kUnknownGender when the file's kind is not known
  TypeOfCode type = TypeOfCode::Unknown;
  std::regex any;
  bool hasAny = false;
  std::regex bad;
  bool hasBad = false;
  std::regex failed;
  bool hasFailed = false;
  std::regex good;
  bool hasGood = false;
  std::regex fileCheck;
  bool hasFileCheck = false;
  int32_t commandTimeout = 0;  // milliseconds
};

// The file's messages; empty for an empty path, a file that cannot be read
// and an empty file.
MidiMessages loadMidiFile(const std::string& path);

// Cuts bytes into messages: F7 ends a message, any other status byte while a
// message is open starts a new one (the open one is kept unterminated), and
// a data byte with no message open starts one of its own.
MidiMessages splitOnStatus(const MidiBytes& bytes);

TypeOfCode typeFromFilename(const std::string& path);

// The part of the command-table keys ("fwupdate.<decorator>.response.good")
// that belongs to a kind of code.
std::string codeTypeToStrDecorator(TypeOfCode type);

// The acknowledgement expressions for programming one file into a device.
// localFile: the user picked the file, so it is user code whatever its name.
// The result is incomplete (isOk() false) when the list is empty, its first
// or last message is shorter than 7 bytes, the kind is unknown or not
// programmable this way, the pedal has no DSP for a DSP file, or the table
// lacks a key.
FwUpdateProtocol getUpdateProtocol(const std::shared_ptr<DeviceInfo>& device,
                                   const std::string& path, const MidiMessages& messages,
                                   bool localFile);

}  // namespace Updater
