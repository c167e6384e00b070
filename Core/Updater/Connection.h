#pragma once

#include <atomic>
#include <memory>

#include "Updater/plugins/Ventrix/HexUtil.h"

class VxMidiTrigger;

namespace Updater {

// The request/response channel to one device. Timeouts are in milliseconds.
class Connection {
 public:
  static constexpr int kKindNone = 0;
  static constexpr int kKindMidi = 1;

  Connection() = default;
  virtual ~Connection() = default;

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends request and waits for the first message that follows it; reply
  // receives that message (empty when none came). True when one came.
  virtual bool sendAndWait(const MidiBytes& request, MidiBytes* reply, int timeout) = 0;
  // Sends request and waits until trigger accepted a message. With release
  // false the trigger stays attached and keeps collecting later messages.
  virtual bool sendAndWait(const MidiBytes& request, std::shared_ptr<VxMidiTrigger> trigger,
                           int timeout, bool release) = 0;
  // Sends request without waiting. The base has no channel: nothing is sent.
  virtual bool sendWithoutResponse(const MidiBytes& /*request*/) { return false; }
  // Closes the ports; later sends fail at once.
  virtual void deactivate() = 0;
  virtual bool isConnectionOpened() = 0;
  virtual void debugPrint() = 0;

  // While exclusive, the scanner hands every message of the device's input
  // port to this connection instead of reading it itself.
  void setExclusive(bool exclusive) { exclusive_ = exclusive; }
  bool isExclusive() const { return exclusive_; }

  // kKindMidi for connections that take input through midiCallback.
  int getKind() const { return kind_; }

 protected:
  explicit Connection(int kind) : kind_(kind) {}

 private:
  std::atomic<bool> exclusive_{false};
  const int kind_ = kKindNone;
};

}  // namespace Updater
