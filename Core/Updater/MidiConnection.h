#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "Updater/Connection.h"
#include "Updater/Port.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"

namespace Updater {

// RtMidi input callback whose user data is a MidiConnection.
void globalMidiCallback(double timestamp, std::vector<unsigned char>* message, void* userData);

// Request/response over one MIDI output (requests) and one MIDI input
// (replies). One request at a time: a second concurrent request replaces the
// first one's trigger.
class MidiConnection : public Connection {
 public:
  MidiConnection(std::shared_ptr<MidiPortIn> inputPort, std::shared_ptr<MidiPortOut> outputPort);
  ~MidiConnection() override;

  bool sendAndWait(const MidiBytes& request, MidiBytes* reply, int timeout) override;
  bool sendAndWait(const MidiBytes& request, std::shared_ptr<VxMidiTrigger> trigger, int timeout,
                   bool release) override;
  bool sendWithoutResponse(const MidiBytes& request) override;
  void deactivate() override;
  bool isConnectionOpened() override;
  void debugPrint() override;

  // Every message that reaches this connection, on the MIDI input thread.
  void midiCallback(double timestamp, std::vector<unsigned char>* message, void* userData);

  // Makes this connection the receiver of its input port.
  bool setSelfCallback();

  std::shared_ptr<MidiPortIn> getInputPort();
  std::shared_ptr<MidiPortOut> getOutputPort();
  int getId() const { return id_; }

 private:
  // Sends through the output port; on failure closes and drops both ports.
  bool send(const MidiBytes& request);
  void setTrigger(const std::shared_ptr<VxMidiTrigger>& trigger);

  const int id_;

  std::mutex portsMutex_;
  std::shared_ptr<MidiPortIn> inputPort_;    // guarded by portsMutex_
  std::shared_ptr<MidiPortOut> outputPort_;  // guarded by portsMutex_

  std::mutex responseMutex_;
  std::condition_variable responseArrived_;
  bool response_ = false;  // guarded by responseMutex_
  MidiBytes lastReceived_;  // guarded by responseMutex_
  std::weak_ptr<VxMidiTrigger> trigger_;  // guarded by responseMutex_
};

}  // namespace Updater
