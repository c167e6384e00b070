#include "Updater/plugins/Ventrix/VxMidiData.h"

VxMidiData::VxMidiData(const std::string& text) { HexUtil::message(text, bytes_); }

void VxMidiData::setDataList(const std::string& text, std::initializer_list<int> values) {
  std::string filled = text;
  auto next = values.begin();
  size_t pos = 0;
  while ((pos = filled.find("vv", pos)) != std::string::npos) {
    if (next == values.end()) {
      bytes_.clear();
      return;
    }
    const std::string digits = HexString::make_hex_string(*next++, true);
    filled.replace(pos, 2, digits);
    pos += digits.size();
  }
  HexUtil::message(filled, bytes_);
}

int VxMidiData::toInt(int offset, int count, int defaultValue) const {
  if (offset < 0 || count < 0) return defaultValue;
  if (bytes_.size() < static_cast<size_t>(offset) + static_cast<size_t>(count)) return defaultValue;
  const uint8_t* b = bytes_.data() + offset;
  switch (count) {
    case 1: return b[0];
    case 2: return b[0] * 128 + b[1];
    case 3: return b[0] * 65536 + b[1] * 256 + b[2];
    case 4:
      return static_cast<int>(static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                              static_cast<uint32_t>(b[2]) << 8 | b[3]);
    default: return defaultValue;
  }
}

std::string VxMidiData::toString(char /*separator*/) const {
  return HexString::make_hex_string(bytes_.begin(), bytes_.end(), true, true);
}

std::string VxMidiData::toAsciiString(int offset, unsigned long length) const {
  if (offset < 0 || length == 0) return {};
  const size_t begin = std::min(static_cast<size_t>(offset), bytes_.size());
  const size_t end = std::min(static_cast<size_t>(offset) + length - 1, bytes_.size());
  if (end <= begin) return {};
  return HexString::make_hex_string(bytes_.begin() + static_cast<long>(begin),
                                    bytes_.begin() + static_cast<long>(end), true, true);
}

bool VxMidiData::match(const std::string& text) const {
  MidiBytes pattern;
  if (!HexUtil::message(text, pattern)) return false;
  if (pattern.size() != bytes_.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != 0xFF && pattern[i] != bytes_[i]) return false;
  }
  return true;
}

bool VxMidiData::operator==(const char* text) const {
  return VxMidiData(std::string(text ? text : "")).bytes_ == bytes_;
}
