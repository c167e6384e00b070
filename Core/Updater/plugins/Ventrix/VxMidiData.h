#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Updater/plugins/Ventrix/HexUtil.h"

// One SysEx message, or a fixed byte pattern to compare received messages
// with. A plain value: copies share nothing. Any byte list is accepted; nothing
// checks for F0 ... F7.
class VxMidiData {
 public:
  VxMidiData() = default;
  explicit VxMidiData(MidiBytes bytes) : bytes_(std::move(bytes)) {}
  // Message text without "vv" placeholders; an odd number of digits gives an
  // empty message.
  explicit VxMidiData(const std::string& text);
  explicit VxMidiData(const char* text) : VxMidiData(std::string(text)) {}

  VxMidiData(const VxMidiData&) = default;
  VxMidiData(VxMidiData&&) noexcept = default;
  VxMidiData& operator=(const VxMidiData&) = default;
  VxMidiData& operator=(VxMidiData&&) noexcept = default;

  // Replaces the bytes: each "vv" of the text, in order, becomes the next
  // argument as upper-case hex (at least two digits), then the message reader
  // runs. The old bytes are dropped even when the reader fails. A text with
  // more "vv" than arguments gives an empty message rather than one with
  // made-up bytes.
  template <typename... Ints>
  void setData(const std::string& text, Ints... values) {
    setDataList(text, {static_cast<int>(values)...});
  }
  void setDataList(const std::string& text, std::initializer_list<int> values);

  size_t length() const { return bytes_.size(); }
  // No bounds check: callers look at length() first.
  uint8_t& operator[](int index) { return bytes_[static_cast<size_t>(index)]; }
  const uint8_t& operator[](int index) const { return bytes_[static_cast<size_t>(index)]; }
  MidiBytes data() const { return bytes_; }
  const MidiBytes& bytes() const { return bytes_; }

  // A numeric field: count 1 is one byte, count 2 two 7-bit MIDI digits,
  // counts 3 and 4 8-bit digits, most significant first. defaultValue when
  // the message is too short or the count is anything else.
  int toInt(int offset, int count, int defaultValue) const;

  // Spaced upper-case hex of the whole message; the separator is not used.
  std::string toString(char separator = ' ') const;

  // Spaced upper-case hex of the bytes from offset up to, not including,
  // offset + length - 1: length - 1 bytes. Clipped to the message.
  std::string toAsciiString(int offset, unsigned long length) const;

  // Pattern comparison: the text read as hex pairs, same length, the byte FF
  // matching any byte.
  bool match(const std::string& text) const;

  // Exact comparison with a message text (FF is not a wildcard here).
  bool operator==(const char* text) const;
  bool operator==(const VxMidiData& other) const { return bytes_ == other.bytes_; }

 private:
  MidiBytes bytes_;
};
