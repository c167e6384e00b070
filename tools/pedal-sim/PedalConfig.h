#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "PedalTypes.h"
#include "Updater/plugins/Ventrix/HexUtil.h"

namespace PedalSim {

// Misbehaviour switched on per pedal, from the command line, a scenario file
// or a test.
struct Faults {
  enum Status : uint8_t { Good = 0x00, Bad = 0x01, Failed = 0x02 };

  double dropAcks = 0.0;   // share (0..1) of firmware acknowledgements never sent
  uint64_t seed = 1;       // for dropAcks and garbage: same seed, same choices
  // Firmware messages to refuse, by their number (1 = the first firmware
  // message the pedal received), with the status to answer.
  std::map<uint64_t, Status> refuse;
  Status refuseAll = Good; // Bad or Failed: refuse every firmware message
  int delayMs = 0;         // added to every reply
  uint64_t vanishAfter = 0;  // > 0: gone for good after this many messages
  bool noReturn = false;     // a reset takes the pedal away for good
  bool ignoreLoader = false; // loader selection and enable-recovery ignored
  double garbage = 0.0;      // share of replies replaced by random bytes
};

struct PedalConfig {
  TypeTraits type;
  std::string label;        // for logs; defaults to the type name
  MidiBytes esn;            // seven 7-bit bytes
  Version user{1, 0, false};
  Version dsp{1, 0, false};
  Version boot{1, 0, false};
  bool userValid = true;    // false: the user code is broken, the pedal stays in boot code
  Mode mode = Mode::User;
  uint8_t deviceId = 0x00;  // identity reply byte 2
  // Empty: the pedal has its own USB MIDI ports. Otherwise the name of a port
  // pair (a MIDI interface) it sits behind; pedals naming the same port share
  // it (a chain).
  std::string port;
  std::string portSuffix;   // appended to the pedal's own port names (" 2")
  int restartMs = 100;      // restart time after a reset without delay bytes
  int windowMs = 1500;      // family 0x12: boot code waits this long for enable-recovery
  int bank = 0;             // family 0x12: the active code bank
  Faults faults;
};

// Parses one pedal description: blank-separated key=value pairs, values with
// blanks in double quotes. Unknown keys and bad values are errors. index makes
// the default ESN unique.
bool parsePedal(const std::string& text, int index, PedalConfig& out, std::string& error);

// A scenario file: one pedal per line, '#' starts a comment, blank lines are
// skipped. Errors name the line.
bool parseScenario(const std::string& text, std::vector<PedalConfig>& out, std::string& error);
bool loadScenario(const std::string& path, std::vector<PedalConfig>& out, std::string& error);

}  // namespace PedalSim
