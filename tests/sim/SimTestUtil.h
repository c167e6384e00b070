#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "Firmware.h"
#include "PedalConfig.h"
#include "PedalEngine.h"
#include "Updater/plugins/Ventrix/HexUtil.h"
#include "Updater/plugins/Ventrix/VxMidiData.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"

namespace simtest {

inline MidiBytes bytes(const std::string& text) {
  MidiBytes b;
  HexUtil::message(text, b);
  return b;
}

inline std::string dense(const MidiBytes& b) { return HexString::make_hex_string(b.begin(), b.end(), true, false); }
inline std::string spaced(const MidiBytes& b) { return HexString::make_hex_string(b.begin(), b.end(), true, true); }

// A reply pattern as the updater's reply catcher applies it.
inline bool triggers(const std::string& pattern, const MidiBytes& reply) {
  VxMidiTrigger trigger(pattern);
  trigger.push(reply);
  return trigger.acceptedCount() > 0;
}

// A response expression: a full match over the dense upper-case hex text.
inline bool matchesExpression(const std::string& expression, const MidiBytes& reply) {
  std::string e;
  for (char c : expression) {
    if (c != ' ') e.push_back(c);
  }
  return std::regex_match(dense(reply), std::regex(e));
}

inline PedalSim::PedalConfig pedal(const std::string& text) {
  PedalSim::PedalConfig c;
  std::string error;
  EXPECT_TRUE(PedalSim::parsePedal(text, 0, c, error)) << text << ": " << error;
  return c;
}

// One pedal model with a hand-driven clock.
struct Sim {
  explicit Sim(const std::string& text) : engine(pedal(text)) {}

  // Replies to one message, in order, ignoring their delays.
  std::vector<MidiBytes> send(const MidiBytes& m) {
    std::vector<PedalSim::Reply> replies;
    engine.receive(m, now, replies);
    lastDelays.clear();
    std::vector<MidiBytes> out;
    for (auto& r : replies) {
      lastDelays.push_back(r.delayMs);
      out.push_back(r.bytes);
    }
    return out;
  }
  std::vector<MidiBytes> send(const std::string& text) { return send(bytes(text)); }
  // The single reply to a message; empty when there is none or more than one.
  MidiBytes ask(const std::string& text) {
    auto r = send(text);
    return r.size() == 1 ? r[0] : MidiBytes{};
  }
  std::vector<MidiBytes> wait(PedalSim::Millis ms) {
    now += ms;
    std::vector<PedalSim::Reply> replies;
    engine.advance(now, replies);
    std::vector<MidiBytes> out;
    for (auto& r : replies) out.push_back(r.bytes);
    return out;
  }
  // Sends firmware messages as an updater does, the trailing 7-byte message
  // left out; returns the acknowledgements.
  std::vector<MidiBytes> program(const std::vector<MidiBytes>& messages, size_t first = 0, size_t last = SIZE_MAX) {
    std::vector<MidiBytes> acks;
    for (size_t i = first; i < messages.size() && i < last; ++i) {
      if (messages[i].size() == 7) continue;
      for (auto& r : send(messages[i])) acks.push_back(r);
    }
    return acks;
  }

  PedalSim::PedalEngine engine;
  PedalSim::Millis now = 1000;
  std::vector<PedalSim::Millis> lastDelays;
};

inline PedalSim::Fw::Firmware firmware(const std::string& type, const std::string& version, bool dsp = false,
                                       uint32_t blocks = 8) {
  PedalSim::Fw::FirmwareSpec spec;
  EXPECT_TRUE(PedalSim::findType(type, spec.type));
  EXPECT_TRUE(PedalSim::Version::parse(version, spec.version));
  spec.dsp = dsp;
  spec.fromBoot = !spec.type.programsInUserCode();
  spec.blocks = blocks;
  EXPECT_EQ(PedalSim::Fw::check(spec), "");
  return PedalSim::Fw::build(spec);
}

}  // namespace simtest
