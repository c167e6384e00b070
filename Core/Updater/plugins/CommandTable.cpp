#include "Updater/plugins/CommandTable.h"

#include <algorithm>
#include <cstdio>

namespace Updater {
namespace {

// The vocabulary shared by all tables. In the texts, "ff" and "pp" stand for
// the table's family and product bytes and "uu" for the data byte of
// "loader.set.user"; everything else is written as the readers expect it
// (messages, trigger patterns, or response expressions over dense hex text).
struct TextEntry {
  const char* key;
  const char* text;
};
struct IntEntry {
  const char* key;
  int32_t value;
};

// clang-format off
constexpr TextEntry kMessages[] = {
  // Restart; the data bytes are a delay as two 7-bit halves, high first:
  // 9 * 128 + 88 = 1240 ms.
  {"reset",                          "F0 00 2B 5E ff pp 1B 09 58 F7"},
  {"identify",                       "F0 7E 7F 06 01 F7"},
  // F0 7E <id> 06 02 <mfr x3> <fam x2> <model x2> <ver x4> F7
  {"identify.response",              "F0 7E .. 06 02 .. .. .. .. .. .. .. .. .. .. .. F7"},
  {"gender",                         "F0 00 2B 5E ff pp 2F F7"},
  {"gender.response",                "F0 00 2B 5E ff pp 2F 00 vv 00 vv F7"},
  // "NIB24" is carried as it is; no reader expands it.
  {"rawgender.read",                 "F0 00 2B 5E ff pp 42 0D 0F NIB24 F7"},
  {"rawgender.read.response",        "F0 00 2B 5E ff pp 42 0D"},
  {"version.read.user.crc",          "F0 00 2B 5E ff pp 30 F7"},
  {"version.read.user.crc.response", "F0 00 2B 5E ff pp 30 .. .. .. .."},
  {"version.calc.user.crc",          "F0 00 2B 5E ff pp 31 F7"},
  {"version.calc.user.crc.response", "F0 00 2B 5E ff pp 31 .. .. .. .."},
  {"esn.read",                       "F0 00 2B 5E ff pp 21 F7"},
  {"esn.read.response",              "F0 00 2B 5E ff pp 21 .. .. .. .. .. .. .. .. F7"},
  // Which code the loader starts after the next reset.
  {"loader.set.dfu",                 "F0 00 2B 5E ff pp 1C 01 F7"},
  {"loader.set.user",                "F0 00 2B 5E ff pp 1C uu F7"},
  {"loader.set.boot",                "F0 00 2B 5E ff pp 1C 02 F7"},
  {"version.read.user",              "F0 00 2B 5E ff pp 2E F7"},
  // Four version bytes or the negative acknowledgement 46, from any product.
  {"version.read.user.response",     "(F0 00 2B 5E ff .. 2E .. .. .. .. F7|F0 00 2B 5E ff .. 2E 46 F7)"},
  {"gender.read",                    "F0 00 2B 5E ff pp 2F F7"},
  {"gender.read.response",           "(F0 00 2B 5E ff pp 2F .. .. .. .. F7|F0 00 2B 5E ff pp 2F 46 F7)"},
  // A 16-byte file-check message of a user-code file.
  {"fwupdate.fwu.filecheck",         "F0 00 2B 5E ff pp 43 0C .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. F7"},
};

constexpr IntEntry kIntegers[] = {
  {"command.timeout.ms", 2200},
  {"command.timeout.s",  2},
};

// Code bank information (bank 0 and bank 1); the reply carries 13 data bytes.
constexpr TextEntry kBankMessages[] = {
  {"id.dsp0",                  "F0 00 2B 5E ff pp 42 08 F7"},
  {"id.dsp1",                  "F0 00 2B 5E ff pp 42 09 F7"},
  {"id.dsp*.response",         "F0 00 2B 5E ff pp 42 0[89] .. .. .. .. .. .. .. .. .. .. .. .. .. F7"},
  {"id.dsp0.response",         "F0 00 2B 5E ff pp 42 08..*F7"},
  {"id.dsp1.response",         "F0 00 2B 5E ff pp 42 09 .. .. .. .. .. .. .. .. .. .. .. .. .. F7"},
  {"id.dsp0.response.invalid", "F0 00 2B 5E ff pp 42 08 02 F7"},
  {"id.dsp1.response.invalid", "F0 00 2B 5E ff pp 42 09 02 F7"},
};

// Offsets into a bank information reply.
constexpr IntEntry kBankOffsets[] = {
  {"id.dsp.offset.response_flag", 10},
  {"id.dsp.offset.bank_status",   20},
  {"id.dsp.offset.code_size",     12},  // first of eight code-size nibbles
  {"id.dsp.offset.code_ver",      8},   // first of four version characters
};

// Acknowledgements of firmware messages, after "fwupdate.<decorator>".
// "any" requires the table's own product byte, the others accept any.
constexpr TextEntry kAckStyleA[] = {
  {".response.any",    "F0 00 2B 5E ff pp 4[23] .. F7"},
  {".response.good",   "F0 00 2B 5E ff .. 4[23] 00 F7"},
  {".response.bad",    "F0 00 2B 5E ff .. 4[23] 01 F7"},
  {".response.failed", "F0 00 2B 5E ff .. 4[23] 02 F7"},
};
constexpr TextEntry kAckStyleB[] = {
  {".response.any",    "F0 00 2B 5E ff pp 4[23] 0C .. F7"},
  {".response.good",   "F0 00 2B 5E ff .. 4[23] 0C 00 F7"},
  {".response.bad",    "F0 00 2B 5E ff .. 4[23] 0C 01 F7"},
  {".response.failed", "F0 00 2B 5E ff .. 4[23] 0C 02 F7"},
};

// The file-check message of a DSP file, from any product.
constexpr TextEntry kDspFileCheck = {
  "fwupdate.fwd.filecheck", "F0 00 2B 5E ff .. 42 0C .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. .. F7"};

// Cab files of the pedal 1303 and its boot code.
constexpr TextEntry kCabCommon[] = {
  {"fwupdate.ircab.response.good",   "F0 00 2B 5E ff .. 6E 00 00 F7"},
  {"fwupdate.ircab.response.bad",    "F0 00 2B 5E ff .. 6E 01 F7"},
  {"fwupdate.ircab.response.failed", "F0 00 2B 5E ff .. 6E 01 00 F7"},
};
constexpr TextEntry kCabOwnProduct[] = {
  {"fwupdate.ircab.response.any",    "F0 00 2B 5E ff pp 6E .. .. F7"},
  {"fwupdate.ircab.filecheck",       "F0 00 2B 5E ff pp 6E 01 .. .. .. .. .. .. .. .. .. .. .. F7"},
};
constexpr TextEntry kCabAnyProduct[] = {
  {"fwupdate.ircab.response.any",    "F0 00 2B 5E ff .. 6E .. .. F7"},
  {"fwupdate.ircab.filecheck",       "F0 00 2B 5E ff .. 6E 01 .. .. .. .. .. .. .. .. .. .. .. F7"},
};

// Sent after the last firmware message by pedals programmed in user code.
constexpr const char* kLastProgrammingMsg = "F0 00 2B 5E ff pp 1B 02 00 F7";
// clang-format on

std::string hexByte(unsigned value) {
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02X", value & 0xFFu);
  return digits;
}

// Replaces every two-character token of a template by its value.
std::string fill(std::string text, const CommandTableRow& row) {
  const std::pair<const char*, std::string> tokens[] = {
      {"ff", hexByte(row.key >> 8u)},
      {"pp", hexByte(row.key)},
      {"uu", hexByte(row.loaderUserByte)},
  };
  for (const auto& [token, value] : tokens) {
    for (auto pos = text.find(token); pos != std::string::npos; pos = text.find(token, pos + 2))
      text.replace(pos, 2, value);
  }
  return text;
}

}  // namespace

CommandTableInterface::CommandTableInterface(const CommandTableRow& row)
    : servedCodes{row.fidpid}, row_(row), productName_(row.productName) {
  auto addTexts = [&](const auto& entries, const std::string& prefix = {}) {
    for (const auto& e : entries) table_.emplace(prefix + e.key, fill(e.text, row));
  };
  auto addIntegers = [&](const auto& entries) {
    for (const auto& e : entries) table_.emplace(e.key, e.value);
  };

  addTexts(kMessages);
  addIntegers(kIntegers);
  if (row.bankKeys) {
    addTexts(kBankMessages);
    addIntegers(kBankOffsets);
  }
  const auto& ack = row.ackStyle == AckStyle::A ? kAckStyleA : kAckStyleB;
  addTexts(ack, "fwupdate.fwu");
  if (row.dspFirmwareKeys) {
    addTexts(ack, "fwupdate.fwd");
    table_.emplace(kDspFileCheck.key, fill(kDspFileCheck.text, row));
  }
  if (row.cabKeys != CabKeys::None) {
    addTexts(kCabCommon);
    addTexts(row.cabKeys == CabKeys::OwnProduct ? kCabOwnProduct : kCabAnyProduct);
  }

  // Stored texts are dense: F0002B5E17421B0958F7.
  for (auto& [key, value] : table_) {
    if (auto* text = std::any_cast<std::string>(&value))
      text->erase(std::remove(text->begin(), text->end(), ' '), text->end());
  }
}

bool CommandTableInterface::isNak(const MidiBytes& reply) const {
  // F0 00 2B 5E ff pp <cmd> <status> ...: status 46 ('F') is a refusal.
  return reply.size() < 8 || reply[7] == 0x46;
}

std::string CommandTableInterface::classVersion() const { return "0.0.0.1"; }

bool CommandTableInterface::hasBootcode() const { return row_.hasBootcode; }

MidiBytes CommandTableInterface::lastProgrammingMsg() const {
  if (row_.hasBootcode) return {};
  std::string text = fill(kLastProgrammingMsg, row_);
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return convertFromStringToArray(text);
}

std::string CommandTableInterface::productPortName() const { return std::string(row_.portName); }

std::string CommandTableInterface::productInPortName() const {
  return row_.inPortName.empty() ? productPortName() : std::string(row_.inPortName);
}

std::string CommandTableInterface::productOutPortName() const {
  return row_.outPortName.empty() ? productPortName() : std::string(row_.outPortName);
}

std::string CommandTableInterface::productName() const { return productName_; }

uint32_t CommandTableInterface::fidpid() const { return row_.fidpid; }

std::any CommandTableInterface::lookup(const std::string& key) const {
  const auto it = table_.find(key);
  return it == table_.end() ? std::any{} : it->second;
}

int CommandTableInterface::lookupInt(const std::string& key) const {
  const auto it = table_.find(key);
  if (it == table_.end()) throw std::bad_any_cast{};
  return std::any_cast<int32_t>(it->second);
}

std::string CommandTableInterface::lookupStr(const std::string& key) const {
  const auto it = table_.find(key);
  if (it == table_.end()) throw std::bad_any_cast{};
  return std::any_cast<const std::string&>(it->second);
}

bool CommandTableInterface::isBootcode() const { return row_.isBootcode; }

std::vector<std::string> CommandTableInterface::keys() const {
  std::vector<std::string> out;
  out.reserve(table_.size());
  for (const auto& entry : table_) out.push_back(entry.first);
  return out;
}

}  // namespace Updater
