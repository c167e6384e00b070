#include "PedalConfig.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace PedalSim {
namespace {

bool splitPairs(const std::string& text, std::vector<std::pair<std::string, std::string>>& pairs,
                std::string& error) {
  size_t i = 0;
  while (true) {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size()) return true;
    const size_t eq = text.find('=', i);
    const size_t blank = text.find_first_of(" \t", i);
    if (eq == std::string::npos || (blank != std::string::npos && blank < eq)) {
      error = "expected key=value at \"" + text.substr(i, blank == std::string::npos ? std::string::npos : blank - i) + "\"";
      return false;
    }
    std::string key = text.substr(i, eq - i);
    std::string value;
    i = eq + 1;
    if (i < text.size() && text[i] == '"') {
      const size_t close = text.find('"', i + 1);
      if (close == std::string::npos) {
        error = "unterminated quote after " + key + "=";
        return false;
      }
      value = text.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      const size_t end = text.find_first_of(" \t", i);
      value = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
      i = end == std::string::npos ? text.size() : end;
    }
    pairs.emplace_back(std::move(key), std::move(value));
  }
}

bool toInt(const std::string& v, long long lo, long long hi, long long& out) {
  if (v.empty()) return false;
  char* end = nullptr;
  const long long x = std::strtoll(v.c_str(), &end, 10);
  if (*end != '\0' || x < lo || x > hi) return false;
  out = x;
  return true;
}

bool toShare(const std::string& v, double& out) {
  if (v.empty()) return false;
  char* end = nullptr;
  const double x = std::strtod(v.c_str(), &end);
  if (*end != '\0' || !(x >= 0.0 && x <= 1.0)) return false;
  out = x;
  return true;
}

bool toBool(const std::string& v, bool& out) {
  if (v == "1" || v == "yes" || v == "true" || v == "on") return out = true, true;
  if (v == "0" || v == "no" || v == "false" || v == "off") return out = false, true;
  return false;
}

bool toStatus(const std::string& v, Faults::Status& out) {
  if (v == "bad") return out = Faults::Bad, true;
  if (v == "failed") return out = Faults::Failed, true;
  return false;
}

// "3:bad,7:failed" or "all:failed"
bool toRefuse(const std::string& v, Faults& f) {
  std::stringstream items(v);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t colon = item.find(':');
    Faults::Status status = Faults::Bad;
    if (colon != std::string::npos && !toStatus(item.substr(colon + 1), status)) return false;
    const std::string which = item.substr(0, colon);
    if (which == "all") {
      f.refuseAll = status;
      continue;
    }
    long long k = 0;
    if (!toInt(which, 1, 1LL << 40, k)) return false;
    f.refuse[static_cast<uint64_t>(k)] = status;
  }
  return true;
}

bool toEsn(const std::string& v, MidiBytes& out) {
  if (v.size() != 14) return false;
  MidiBytes bytes;
  for (size_t i = 0; i < v.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(v[i])) || !std::isxdigit(static_cast<unsigned char>(v[i + 1]))) return false;
    const auto b = static_cast<uint8_t>(std::stoi(v.substr(i, 2), nullptr, 16));
    if (b > 0x7F) return false;  // SysEx data bytes
    bytes.push_back(b);
  }
  out = std::move(bytes);
  return true;
}

}  // namespace

bool parsePedal(const std::string& text, int index, PedalConfig& out, std::string& error) {
  std::vector<std::pair<std::string, std::string>> pairs;
  if (!splitPairs(text, pairs, error)) return false;
  PedalConfig c;
  bool typed = false;
  bool esnGiven = false;
  for (const auto& [key, v] : pairs) {
    bool ok = true;
    long long x = 0;
    if (key == "type") {
      ok = typed = findType(v, c.type);
    } else if (key == "label") {
      c.label = v;
    } else if (key == "esn") {
      ok = esnGiven = toEsn(v, c.esn);
    } else if (key == "version") {
      ok = Version::parse(v, c.user);
    } else if (key == "dsp") {
      ok = Version::parse(v, c.dsp);
    } else if (key == "boot") {
      ok = Version::parse(v, c.boot);
    } else if (key == "valid") {
      ok = toBool(v, c.userValid);
    } else if (key == "mode") {
      if (v == "user") c.mode = Mode::User;
      else if (v == "boot") c.mode = Mode::Boot;
      else if (v == "dfu") c.mode = Mode::Dfu;
      else ok = false;
    } else if (key == "devid") {
      ok = v.size() <= 2 && !v.empty() && v.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
      if (ok) c.deviceId = static_cast<uint8_t>(std::stoi(v, nullptr, 16) & 0x7F);
    } else if (key == "port") {
      ok = !v.empty();
      c.port = v;
    } else if (key == "restart") {
      ok = toInt(v, 0, 60000, x);
      c.restartMs = static_cast<int>(x);
    } else if (key == "window") {
      ok = toInt(v, 1, 60000, x);
      c.windowMs = static_cast<int>(x);
    } else if (key == "bank") {
      ok = toInt(v, 0, 1, x);
      c.bank = static_cast<int>(x);
    } else if (key == "drop") {
      ok = toShare(v, c.faults.dropAcks);
    } else if (key == "garbage") {
      ok = toShare(v, c.faults.garbage);
    } else if (key == "seed") {
      ok = toInt(v, 0, 1LL << 62, x);
      c.faults.seed = static_cast<uint64_t>(x);
    } else if (key == "refuse") {
      ok = toRefuse(v, c.faults);
    } else if (key == "delay") {
      ok = toInt(v, 0, 60000, x);
      c.faults.delayMs = static_cast<int>(x);
    } else if (key == "vanish") {
      ok = toInt(v, 1, 1LL << 40, x);
      c.faults.vanishAfter = static_cast<uint64_t>(x);
    } else if (key == "noreturn") {
      ok = toBool(v, c.faults.noReturn);
    } else if (key == "ignoreloader") {
      ok = toBool(v, c.faults.ignoreLoader);
    } else {
      error = "unknown key \"" + key + "\"";
      return false;
    }
    if (!ok) {
      error = "bad value for " + key + ": \"" + v + "\"";
      return false;
    }
  }
  if (!typed) {
    error = "missing type= (a fid/pid such as 1702 or a name such as Kesmet)";
    return false;
  }
  if (!esnGiven) {
    // "SIM", family, product, index: unique per pedal of one run.
    c.esn = {0x53, 0x49, 0x4D, c.type.family(), c.type.userPid(), static_cast<uint8_t>((index >> 7) & 0x7F),
             static_cast<uint8_t>(index & 0x7F)};
  }
  if (c.label.empty()) c.label = c.type.name() + "#" + std::to_string(index);
  out = std::move(c);
  return true;
}

bool parseScenario(const std::string& text, std::vector<PedalConfig>& out, std::string& error) {
  std::stringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    PedalConfig c;
    std::string why;
    if (!parsePedal(line, static_cast<int>(out.size()), c, why)) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
    out.push_back(std::move(c));
  }
  return true;
}

bool loadScenario(const std::string& path, std::vector<PedalConfig>& out, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (!parseScenario(text.str(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace PedalSim
