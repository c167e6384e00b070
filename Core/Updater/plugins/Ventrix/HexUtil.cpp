#include "Updater/plugins/Ventrix/HexUtil.h"

#include <algorithm>
#include <cctype>

namespace HexUtil {

int GetHexVal(char c) {
  const int v = c;
  if (c <= '9') return v - 48;
  if (c < 'a') return v - 55;
  return v - 87;
}

bool VxChar::operator==(int nibble) const {
  if (values.empty()) return true;
  return std::find(values.begin(), values.end(), nibble) != values.end();
}

bool VxChar::operator!=(int nibble) const {
  if (values.empty()) return false;
  return std::find(values.begin(), values.end(), nibble) == values.end();
}

std::string VxChar::toString() const {
  if (values.empty()) return ".";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%01X", static_cast<unsigned>(values.front()));
  return buf;
}

bool message(const std::string& text, MidiBytes& bytes) {
  bytes.clear();
  size_t digits = 0;
  for (char c : text) {
    if (c != ' ') ++digits;
  }
  if (digits % 2 != 0) return false;
  bytes.reserve(digits / 2);
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int v = GetHexVal(c) & 0x0F;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return true;
}

bool pattern(const std::string& text, std::vector<VxChar>& out) {
  out.clear();
  std::string dense;
  dense.reserve(text.size());
  for (char c : text) {
    if (c != ' ') dense.push_back(c);
  }
  out.reserve(dense.size());
  for (size_t i = 0; i < dense.size(); ++i) {
    const char c = dense[i];
    if (c == '[') {
      std::vector<int> allowed;
      ++i;
      while (i < dense.size() && dense[i] != ']') {
        allowed.push_back(GetHexVal(dense[i]));
        ++i;
      }
      out.emplace_back(std::move(allowed));
    } else if (c == '.') {
      out.emplace_back();
    } else {
      out.emplace_back(std::vector<int>{GetHexVal(c) & 0x0F});
    }
  }
  return true;
}

}  // namespace HexUtil

namespace HexString {

std::string make_hex_string(int value, bool uppercase) {
  char buf[16];
  std::snprintf(buf, sizeof buf, uppercase ? "%02X" : "%02x", static_cast<unsigned>(value));
  return buf;
}

}  // namespace HexString

std::string buildString(const std::string& format, const MidiBytes& bytes) {
  std::string out = format;
  for (size_t i = 1; i <= bytes.size(); ++i) {
    const std::string token = "0%" + std::to_string(i);
    const std::string value = HexString::make_hex_string(bytes[i - 1], true);
    size_t pos = 0;
    while ((pos = out.find(token, pos)) != std::string::npos) {
      out.replace(pos, token.size(), value);
      pos += value.size();
    }
  }
  return out;
}

namespace Updater {

std::string convertFromArrayToString(const MidiBytes& bytes) {
  return HexString::make_hex_string(bytes.begin(), bytes.end(), false, false);
}

MidiBytes convertFromStringToArray(const std::string& text) {
  MidiBytes out;
  out.reserve(text.size() / 2);
  auto value = [](char c) { return c < 'A' ? c - 48 : c - 55; };
  for (size_t p = 1; p < text.size(); p += 2) {
    out.push_back(static_cast<uint8_t>(value(text[p - 1]) * 16 + value(text[p])));
  }
  return out;
}

void convertStringToUpperCase(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace Updater
