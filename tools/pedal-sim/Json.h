#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Updater/plugins/Ventrix/HexUtil.h"

namespace PedalSim {

// A flat JSON object built field by field, for the event log and summaries.
class Json {
 public:
  Json& add(const std::string& key, const std::string& value) {
    field(key);
    quote(value);
    return *this;
  }
  Json& add(const std::string& key, const char* value) { return add(key, std::string(value)); }
  Json& add(const std::string& key, bool value) {
    field(key);
    body_ += value ? "true" : "false";
    return *this;
  }
  Json& add(const std::string& key, int64_t value) {
    field(key);
    body_ += std::to_string(value);
    return *this;
  }
  Json& add(const std::string& key, int value) { return add(key, static_cast<int64_t>(value)); }
  Json& add(const std::string& key, uint64_t value) {
    field(key);
    body_ += std::to_string(value);
    return *this;
  }
  Json& add(const std::string& key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    field(key);
    body_ += text;
    return *this;
  }
  Json& addHex(const std::string& key, const MidiBytes& bytes) {
    return add(key, HexString::make_hex_string(bytes.begin(), bytes.end(), true, true));
  }
  // Appends every field of another object.
  Json& merge(const Json& other) {
    if (other.body_.empty()) return *this;
    if (!body_.empty()) body_ += ',';
    body_ += other.body_;
    return *this;
  }
  std::string str() const { return "{" + body_ + "}"; }

 private:
  void field(const std::string& key) {
    if (!body_.empty()) body_ += ',';
    quote(key);
    body_ += ':';
  }
  void quote(const std::string& text) {
    body_ += '"';
    for (char c : text) {
      const auto u = static_cast<unsigned char>(c);
      if (c == '"' || c == '\\') {
        body_ += '\\';
        body_ += c;
      } else if (u < 0x20) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", u);
        body_ += esc;
      } else {
        body_ += c;
      }
    }
    body_ += '"';
  }
  std::string body_;
};

}  // namespace PedalSim
