#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PedalTypes.h"
#include "Updater/plugins/Ventrix/HexUtil.h"

// The firmware message layouts the simulated pedals accept, shared by the
// pedal model and the firmware file writer.
//
// Every pedal except family 0x12 (c = 43 user code, 42 DSP code; ff pp = the
// family and product bytes of the code the file is for, pp | 0x40 when it is
// programmed from boot code):
//   begin   F0 00 2B 5E ff pp c 01 s1 s0 00 v0 v1 v2 v3 n2 n1 n0 F7      19 bytes
//           (sub 20 instead of 01: the same, and asks a family 0x17 updater to
//           send the file twice per pass)
//   erase   F0 00 2B 5E ff pp c 03 F7
//   data    F0 00 2B 5E ff pp c 04 i2 i1 i0 <s payload bytes> k F7
//   check   F0 00 2B 5E ff pp c 0C r0..r7 n2 n1 n0 00 v0 v1 v2 v3 F7      25 bytes
//   tail    F0 00 2B 5E ff pp F7   (optional; updaters never send it)
// Family 0x12 (no family or product bytes after the first message; b = code
// bank 0 or 1, o = operation, 00 in the file, set to 03 "write" by the updater):
//   header  F0 00 2B 5E 12 pp 43 01 s1 s0 00 v0 v1 v2 v3 n2 n1 n0 F7   never sent
//   begin   F0 00 2B 5E 42 0C 01 b o s1 s0 00 v0 v1 v2 v3 n2 n1 n0 F7
//   erase   F0 00 2B 5E 42 0C 03 b o F7
//   data    F0 00 2B 5E 42 0C 04 b o i2 i1 i0 <payload> k F7
//   check   F0 00 2B 5E 42 0C 0C b o r0..r7 n2 n1 n0 00 v0 v1 v2 v3 F7
// s1 s0: payload bytes per block (two 7-bit digits); n2 n1 n0: block count and
// i2 i1 i0: block index (three 7-bit digits); v0..v3: version characters (file
// order, see VersionChars); r0..r7: CRC-32 of the image (all payloads in
// block order) as eight nibbles, most significant first; k: 7-bit checksum
// that makes the sum of i2..k a multiple of 128.
namespace PedalSim::Fw {

constexpr uint8_t kUserCode = 0x43;
constexpr uint8_t kDspCode = 0x42;

constexpr uint8_t kBegin = 0x01;
constexpr uint8_t kBeginTwice = 0x20;
constexpr uint8_t kErase = 0x03;
constexpr uint8_t kData = 0x04;
constexpr uint8_t kCheck = 0x0C;

constexpr uint8_t kVentrixWrite = 0x03;

constexpr size_t kBeginBody = 10;  // s1 s0 00 v0..v3 n2 n1 n0
constexpr size_t kCheckBody = 16;

uint32_t crc32(const MidiBytes& bytes);
uint8_t checksum7(const uint8_t* first, const uint8_t* last);
std::string sha256Hex(const MidiBytes& bytes);

// Three 7-bit digits, most significant first.
void put21(MidiBytes& out, uint32_t value);
uint32_t get21(const uint8_t* p);

struct FirmwareSpec {
  TypeTraits type;
  Version version;
  bool dsp = false;          // DSP code (…fwd.syx) instead of user code (…fwu.syx)
  bool fromBoot = true;      // product byte | 0x40; ignored for family 0x12
  uint32_t blocks = 16;      // data messages
  uint32_t messageSize = 64; // bytes of one data message, F0 and F7 included
  int bank = 0;              // family 0x12: code bank written
  bool erase = true;
  bool tail = true;          // trailing 7-byte message; never for family 0x12
  bool twice = false;        // begin sub 20 instead of 01
  uint64_t seed = 1;         // payload contents
};

struct Firmware {
  std::vector<MidiBytes> messages;
  MidiBytes image;       // what a pedal holds after programming it completely
  std::string fileName;  // e.g. Kesmet_0125_fwu.syx
};

// Payload bytes per data message for a message size; 0 when it is too small.
uint32_t payloadSize(const FirmwareSpec& spec);
// Empty when the spec can be built, else why not.
std::string check(const FirmwareSpec& spec);
Firmware build(const FirmwareSpec& spec);

bool writeFile(const std::string& path, const std::vector<MidiBytes>& messages, std::string* error);

}  // namespace PedalSim::Fw
