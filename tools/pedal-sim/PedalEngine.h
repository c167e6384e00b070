#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Json.h"
#include "PedalConfig.h"
#include "PedalTypes.h"

// The protocol logic of one simulated pedal, without any MIDI: messages go in
// with the current time, replies come out with the delay after which they are
// due. Time only moves through receive() and advance(), so tests drive it
// deterministically. Not thread-safe: one owner calls it.
namespace PedalSim {

using Millis = int64_t;

struct Reply {
  MidiBytes bytes;
  Millis delayMs = 0;
};

// One code region of the flash: the user code and the DSP code, or the two
// code banks of a family 0x12 pedal.
struct Region {
  bool valid = false;
  VersionChars version{};
  // The programming session opened by the last begin message.
  bool session = false;
  uint32_t expected = 0;    // blocks announced
  uint32_t blockSize = 0;   // payload bytes per block
  VersionChars pending{};
  std::vector<MidiBytes> blocks;  // written payloads, empty where none yet
  uint32_t present = 0;           // blocks of the session written at least once
  uint64_t blocksWritten = 0;     // accepted data messages, rewrites included
  bool programmed = false;        // a session wrote anything since start

  MidiBytes image() const;  // the written blocks in order
  void startSession(uint32_t count, uint32_t size, const VersionChars& version);
};

class PedalEngine {
 public:
  // kind: "in", "out", "state", "flash", ...; fields: the event's details.
  using EventFn = std::function<void(const std::string& kind, const Json& fields)>;

  explicit PedalEngine(PedalConfig config);

  void setObserver(EventFn observer) { observer_ = std::move(observer); }

  // One message arrived at `now`; replies are appended to out.
  void receive(const MidiBytes& in, Millis now, std::vector<Reply>& out);
  // Runs what is due by `now` (the end of a restart); may add replies.
  void advance(Millis now, std::vector<Reply>& out);
  // When advance() has something to do next.
  std::optional<Millis> nextDeadline() const;

  // Whether the pedal currently answers, and whether its ports exist. A
  // pedal with its own USB ports loses them while it restarts; family 0x12
  // pedals and pedals behind an interface keep them.
  bool answering() const { return present_ && !vanished_; }
  bool hasPorts() const;
  Mode mode() const { return mode_; }
  uint8_t currentPid() const;
  uint16_t currentFidpid() const { return static_cast<uint16_t>(config_.type.family() << 8 | currentPid()); }
  std::string inPortName() const;   // where the pedal receives
  std::string outPortName() const;  // where it sends

  // Brings a pedal back from its DFU loader (boot code, or user code when it
  // holds valid code).
  void leaveDfu(Millis now);

  Faults& faults() { return config_.faults; }
  const PedalConfig& config() const { return config_; }
  const Region& region(int index) const { return regions_[static_cast<size_t>(index)]; }
  bool userCodeValid() const;
  VersionChars userVersion() const;
  int activeBank() const { return activeBank_; }
  uint64_t messagesIn() const { return messagesIn_; }
  uint64_t firmwareMessages() const { return firmwareMessages_; }
  uint64_t acksDropped() const { return acksDropped_; }
  // Counts resets and restarts: replies queued before one are never sent.
  uint64_t restarts() const { return restarts_; }

  Json summary() const;

  // The identity reply the pedal gives in its current mode.
  MidiBytes identityReply() const;

 private:
  enum class Pending { None, Restart, WindowOpen, WindowClose, ExitBoot };
  struct Out {
    MidiBytes bytes;
    bool ack = false;  // a firmware acknowledgement (subject to dropAcks)
  };

  void dispatch(const MidiBytes& in, Millis now, std::vector<Out>& out);
  void addressed(const MidiBytes& in, Millis now, std::vector<Out>& out);
  void bootControl(const MidiBytes& in, Millis now, std::vector<Out>& out);
  // Applies one firmware message to a region; returns the status to answer.
  // kindAt: index of the kind byte; bodyAt: index of the first body byte.
  uint8_t firmware(const MidiBytes& in, size_t kindAt, size_t bodyAt, Region& region, const char* name);
  void reset(Millis delayMs, Millis now);
  Mode settle(Mode wanted);
  void setState(Mode mode, bool present, const char* why);
  void emit(const std::string& kind, const Json& fields) const;
  // Counts one firmware message and returns the status a fault switch
  // imposes on it (logged), or Faults::Good.
  uint8_t countFirmwareMessage();
  MidiBytes header(uint8_t cmd) const;  // F0 00 2B 5E ff pp cmd
  double nextShare();
  void finish(std::vector<Out>& raw, std::vector<Reply>& out);

  PedalConfig config_;
  EventFn observer_;
  Mode mode_ = Mode::User;
  bool present_ = true;
  bool vanished_ = false;
  bool inWindow_ = false;  // family 0x12: boot code waiting for enable-recovery
  Mode selected_ = Mode::User;
  bool selectionMade_ = false;
  std::array<Region, 2> regions_;  // user + DSP, or bank 0 + bank 1
  int activeBank_ = 0;
  std::array<bool, 2> armed_{};    // family 0x12: first activation step seen
  Pending pending_ = Pending::None;
  Millis pendingAt_ = 0;
  Mode pendingMode_ = Mode::User;
  uint64_t messagesIn_ = 0;
  uint64_t firmwareMessages_ = 0;
  uint64_t acksDropped_ = 0;
  uint64_t restarts_ = 0;
  uint64_t random_ = 0;
};

}  // namespace PedalSim
