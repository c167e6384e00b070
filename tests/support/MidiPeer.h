#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <RtMidi.h>

#include "Updater/MidiConnection.h"
#include "Updater/Port.h"
#include "Updater/plugins/Ventrix/HexUtil.h"

namespace velorin::test {

// A MIDI device on virtual RtMidi ports of the test's JACK server, driven
// in-process: it echoes, answers requests with given replies, stays silent or
// vanishes. Its input and output are ports like a pedal's, so the code under
// test reaches it through the ordinary port listing. Call useJackServer()
// first.
class MidiPeer {
 public:
  enum class Mode {
    Silent,  // receives and records, never answers
    Echo,    // sends every message back unchanged
    Reply,   // answers a request listed with addReply(); else the default reply, if set
  };

  // Answer to one request: nullopt for silence, else the messages to send back.
  using Handler = std::function<std::optional<std::vector<MidiBytes>>(const MidiBytes&)>;

  explicit MidiPeer(Mode mode = Mode::Echo);
  ~MidiPeer();

  MidiPeer(const MidiPeer&) = delete;
  MidiPeer& operator=(const MidiPeer&) = delete;

  // False when the virtual ports could not be made (reason in error()).
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  void setMode(Mode mode);
  // In Reply mode: the answer to exactly this request.
  void addReply(const MidiBytes& request, const MidiBytes& reply);
  // In Reply mode: the answer to every request not listed (empty: none).
  void setDefaultReply(const MidiBytes& reply);
  // Overrides the mode: every request goes to the handler.
  void setHandler(Handler handler);

  // Sends an unsolicited message from the peer's output.
  bool send(const MidiBytes& message);

  // Closes and destroys the peer's ports, as when a device is unplugged.
  void vanish();
  // Vanishes on the next request, after receiving it and before answering.
  void vanishOnNextRequest();

  // Messages the peer received, in order.
  std::vector<MidiBytes> received();
  // Waits until at least count messages arrived; false on time-out.
  bool waitForReceived(size_t count, std::chrono::milliseconds timeout);

  // Full port names as the MIDI service lists them.
  std::string outputPortName() const { return outputName_; }  // the peer talks here
  std::string inputPortName() const { return inputName_; }    // the peer listens here

  // The listing index under which our input ports see the peer's output, and
  // our output ports see the peer's input; nullopt when not listed.
  std::optional<unsigned int> indexForInputPort() const;
  std::optional<unsigned int> indexForOutputPort() const;

  // Ports of the code under test wired to this peer (not opened).
  std::shared_ptr<Updater::MidiPortIn> makeInputPort() const;
  std::shared_ptr<Updater::MidiPortOut> makeOutputPort() const;
  // A MidiConnection to this peer with both ports opened, the connection
  // installed as the input's receiver, and both directions proven to carry
  // messages (a new JACK link may drop what is sent before it takes effect);
  // nullptr on failure. The handshake is not recorded in received().
  std::shared_ptr<Updater::MidiConnection> connect() const;

  // F0 7D 7F 7E nn F7 is answered with F0 7D 7F 7F nn F7 in every mode.
  static bool isHandshake(const MidiBytes& message);

 private:
  static void onMessage(double timestamp, std::vector<unsigned char>* message, void* self);
  void handle(const MidiBytes& message);

  bool ok_ = false;
  std::string error_;
  std::string portBase_;
  std::string outputName_;
  std::string inputName_;

  // Guards the RtMidi objects against vanish() from another thread.
  std::mutex midiMutex_;
  std::unique_ptr<RtMidiIn> in_;    // guarded by midiMutex_
  std::unique_ptr<RtMidiOut> out_;  // guarded by midiMutex_

  std::mutex mutex_;
  std::condition_variable receivedCv_;
  Mode mode_;                              // guarded by mutex_
  std::vector<std::pair<MidiBytes, MidiBytes>> replies_;  // request, reply; guarded by mutex_
  MidiBytes defaultReply_;                  // guarded by mutex_
  Handler handler_;                         // guarded by mutex_
  bool vanishOnNext_ = false;               // guarded by mutex_
  std::vector<MidiBytes> received_;         // guarded by mutex_
};

}  // namespace velorin::test
