#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The hex text notation in which every SysEx message, trigger pattern and
// acknowledgement expression of the updater is written. There is no single
// grammar: each reader below understands its own subset.
//
//   message reader   "F0 7E 7F 06 01 F7"        hex pairs, blanks removed
//   pattern reader   "F0 00 2B 5E 42 0[89] .."  nibbles, "." any, "[..]" a class
//   "vv"             VxMidiData::setData         next integer argument
//   "0%1", "0%2"     buildString                 i-th byte of a list
//   dense text       F0002B5E                    programming messages

using MidiBytes = std::vector<uint8_t>;

namespace HexUtil {

// Value of one hex digit by plain arithmetic: '0'-'9' give 0-9, 'A'-'F' and
// 'a'-'f' give 10-15. No character is rejected; any other one yields whatever
// the arithmetic gives ('.' gives -2). Readers that build bytes keep the low
// 4 bits.
int GetHexVal(char c);

// One nibble position of a trigger pattern: the nibble values allowed there,
// in the order written. An empty list allows any nibble.
struct VxChar {
  std::vector<int> values;

  VxChar() = default;
  explicit VxChar(std::vector<int> allowed) : values(std::move(allowed)) {}

  bool operator==(int nibble) const;
  bool operator!=(int nibble) const;

  // The first listed value as one upper-case hex digit, or "." for any.
  std::string toString() const;
};

// Message reader: clears bytes, removes every blank (only ' '), fails on an
// odd number of remaining characters (bytes stay empty), otherwise reads the
// characters two at a time without validating them.
bool message(const std::string& text, MidiBytes& bytes);

// Pattern reader: clears out, removes blanks, one VxChar per character
// ("." any nibble, "[...]" a class of the characters' unmasked values).
// Always returns true.
bool pattern(const std::string& text, std::vector<VxChar>& out);

}  // namespace HexUtil

namespace HexString {

// One value as hex digits: at least two, leading zeros, no prefix.
// A negative value gives its 32-bit two's complement (eight digits).
std::string make_hex_string(int value, bool uppercase);

// A run of bytes, each as exactly two digits; with spaced, one blank between
// consecutive bytes and none at the ends.
template <typename It>
std::string make_hex_string(It first, It last, bool uppercase, bool spaced) {
  static const char upper[] = "0123456789ABCDEF";
  static const char lower[] = "0123456789abcdef";
  const char* digits = uppercase ? upper : lower;
  std::string out;
  for (It it = first; it != last; ++it) {
    const auto byte = static_cast<uint8_t>(*it);
    if (spaced && !out.empty()) out.push_back(' ');
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 0x0F]);
  }
  return out;
}

}  // namespace HexString

// Numbered substitution: every "0%i" (i = 1 .. bytes.size(), in increasing
// order) becomes the i-th byte as two upper-case hex digits. Placeholders with
// no byte stay as they are.
std::string buildString(const std::string& format, const MidiBytes& bytes);

namespace Updater {

// Dense lower-case hex text, high nibble first: F0 2B gives "f02b".
std::string convertFromArrayToString(const MidiBytes& bytes);

// Dense upper-case hex text to bytes. Blanks are not removed; only digits and
// 'A'-'F' give meaningful values. A final unpaired character is dropped.
MidiBytes convertFromStringToArray(const std::string& text);

// Upper-cases a text in place.
void convertStringToUpperCase(std::string& text);

}  // namespace Updater
