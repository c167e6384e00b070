#include "Firmware.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>

namespace PedalSim::Fw {
namespace {

// splitmix64: a fixed generator, so that a seed gives the same payload on
// every platform and standard library.
uint64_t nextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void putHeader(MidiBytes& m, const FirmwareSpec& spec, uint8_t sub) {
  const uint8_t pid = spec.fromBoot ? static_cast<uint8_t>(spec.type.userPid() | 0x40) : spec.type.userPid();
  if (spec.type.isVentrix()) {
    m = {0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x0C, sub, static_cast<uint8_t>(spec.bank), 0x00};
  } else {
    m = {0xF0, 0x00, 0x2B, 0x5E, spec.type.family(), pid, spec.dsp ? kDspCode : kUserCode, sub};
  }
}

void putBeginBody(MidiBytes& m, const FirmwareSpec& spec, uint32_t payload) {
  m.push_back(static_cast<uint8_t>((payload >> 7) & 0x7F));
  m.push_back(static_cast<uint8_t>(payload & 0x7F));
  m.push_back(0x00);
  for (uint8_t c : spec.version.chars()) m.push_back(c);
  put21(m, spec.blocks);
}

}  // namespace

uint32_t crc32(const MidiBytes& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint8_t checksum7(const uint8_t* first, const uint8_t* last) {
  unsigned sum = 0;
  for (const uint8_t* p = first; p != last; ++p) sum += *p;
  return static_cast<uint8_t>((128u - (sum & 0x7Fu)) & 0x7Fu);
}

std::string sha256Hex(const MidiBytes& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
  return HexString::make_hex_string(digest, digest + length, false, false);
}

void put21(MidiBytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>((value >> 14) & 0x7F));
  out.push_back(static_cast<uint8_t>((value >> 7) & 0x7F));
  out.push_back(static_cast<uint8_t>(value & 0x7F));
}

uint32_t get21(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0] & 0x7F) << 14) | (static_cast<uint32_t>(p[1] & 0x7F) << 7) |
         static_cast<uint32_t>(p[2] & 0x7F);
}

uint32_t payloadSize(const FirmwareSpec& spec) {
  // Everything of a data message but the payload: header, index, checksum, F7.
  const uint32_t overhead = spec.type.isVentrix() ? 14u : 13u;
  return spec.messageSize > overhead ? spec.messageSize - overhead : 0u;
}

std::string check(const FirmwareSpec& spec) {
  if (spec.type.fidpid == 0) return "unknown pedal type";
  if (spec.blocks == 0 || spec.blocks >= (1u << 21)) return "block count must be 1 to 2097151";
  const uint32_t payload = payloadSize(spec);
  if (payload == 0 || payload >= (1u << 14)) return "message size leaves no room for payload (or is over 16 KiB)";
  if (spec.dsp && spec.type.isVentrix()) return "family 0x12 pedals take user code only";
  if (spec.dsp && !spec.type.hasDsp()) return "this pedal type has no DSP code";
  if (spec.bank != 0 && spec.bank != 1) return "bank must be 0 or 1";
  return {};
}

Firmware build(const FirmwareSpec& spec) {
  Firmware fw;
  const uint32_t payload = payloadSize(spec);
  const bool ventrix = spec.type.isVentrix();

  uint64_t state = spec.seed ^ (static_cast<uint64_t>(spec.type.fidpid) << 32) ^
                   (static_cast<uint64_t>(spec.version.major * 100 + spec.version.minor) << 16) ^
                   (spec.dsp ? 0x5A5Au : 0u);
  fw.image.reserve(static_cast<size_t>(payload) * spec.blocks);
  for (size_t i = 0; i < static_cast<size_t>(payload) * spec.blocks; ++i) {
    fw.image.push_back(static_cast<uint8_t>(nextRandom(state) & 0x7F));
  }

  MidiBytes m;
  if (ventrix) {
    // The identity header the updater checks and strips before programming.
    m = {0xF0, 0x00, 0x2B, 0x5E, spec.type.family(), spec.type.userPid(), kUserCode, kBegin};
    putBeginBody(m, spec, payload);
    m.push_back(0xF7);
    fw.messages.push_back(m);
  }
  putHeader(m, spec, spec.twice ? kBeginTwice : kBegin);
  putBeginBody(m, spec, payload);
  m.push_back(0xF7);
  fw.messages.push_back(m);

  if (spec.erase) {
    putHeader(m, spec, kErase);
    m.push_back(0xF7);
    fw.messages.push_back(m);
  }

  for (uint32_t block = 0; block < spec.blocks; ++block) {
    putHeader(m, spec, kData);
    const size_t indexAt = m.size();
    put21(m, block);
    const auto first = fw.image.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(block) * payload);
    m.insert(m.end(), first, first + payload);
    m.push_back(checksum7(m.data() + indexAt, m.data() + m.size()));
    m.push_back(0xF7);
    fw.messages.push_back(m);
  }

  putHeader(m, spec, kCheck);
  const uint32_t crc = crc32(fw.image);
  for (int shift = 28; shift >= 0; shift -= 4) m.push_back(static_cast<uint8_t>((crc >> shift) & 0x0F));
  put21(m, spec.blocks);
  m.push_back(0x00);
  for (uint8_t c : spec.version.chars()) m.push_back(c);
  m.push_back(0xF7);
  fw.messages.push_back(m);

  if (spec.tail && !ventrix) {
    const MidiBytes& first = fw.messages.front();
    fw.messages.push_back({0xF0, 0x00, 0x2B, 0x5E, first[4], first[5], 0xF7});
  }

  fw.fileName = spec.type.fileStem() + "_" + spec.version.nameCode() + (spec.dsp ? "_fwd.syx" : "_fwu.syx");
  return fw;
}

bool writeFile(const std::string& path, const std::vector<MidiBytes>& messages, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    if (error) *error = "cannot open " + path + " for writing";
    return false;
  }
  for (const MidiBytes& m : messages) out.write(reinterpret_cast<const char*>(m.data()), static_cast<std::streamsize>(m.size()));
  out.close();
  if (!out) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace PedalSim::Fw
