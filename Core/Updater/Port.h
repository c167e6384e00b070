#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <RtMidi.h>

#include "Updater/plugins/Ventrix/HexUtil.h"

namespace Updater {

enum class PortDirection : int { In = 0, Out = 1 };

// The scanner's record of a device heard on an input port, and the ordered
// list of them kept per input port (defined with the scanner).
struct MidiPortData;
using MidiPortDataList = std::vector<std::shared_ptr<MidiPortData>>;

// One system MIDI port. The name is the one RtMidi reported when the port was
// listed and is the key under which the scanner keeps it; index is the RtMidi
// port number at that time. open() uses the index while it still carries the
// name and looks the name up again when ports were renumbered meanwhile; a
// port whose name is no longer listed does not open.
class Port {
 public:
  Port(std::string name, unsigned int index, PortDirection direction);
  virtual ~Port();

  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  virtual bool open() = 0;
  virtual bool close() = 0;
  virtual bool isOpened() = 0;

  // Exclusive use of the port by one thread (the scanner holds it while it
  // probes the device behind the port). Gives up after 400 ms. A thread that
  // already holds the port gets false at once rather than blocking on itself.
  bool lock();
  // Releases the port when the calling thread holds it through lock();
  // otherwise does nothing (so it is harmless after a failed lock()).
  void unlock();

  const std::string& getName() const { return name_; }
  unsigned int getIndex() const { return index_; }
  PortDirection getDirection() const { return direction_; }
  // Small number identifying this port object in traces.
  int getId() const { return id_; }

  static constexpr int kLockTimeoutMs = 400;

 private:
  const PortDirection direction_;
  const std::string name_;
  const unsigned int index_;
  const int id_;

  std::mutex lockMutex_;
  std::condition_variable lockReleased_;
  std::thread::id holder_;  // guarded by lockMutex_; empty when free
};

class MidiPortIn : public Port {
 public:
  using Callback = RtMidiIn::RtMidiCallback;

  MidiPortIn(const std::string& name, unsigned int index,
             PortDirection direction = PortDirection::In);
  ~MidiPortIn() override;

  bool open() override;
  bool close() override;
  bool isOpened() override;

  // Installs the receiver of every message of this port, replacing the
  // previous one. Each message is traced (">>  ") before it is delivered.
  // Once these return, the previous receiver is not running and is never
  // called again. Returns false when the port has no RtMidi object.
  bool setCallback(Callback callback, void* userData);
  bool cancelCallback();
  // Cancels only when userData is the installed receiver's user data (a
  // connection going away detaches itself without touching someone else's).
  void cancelCallbackFor(const void* userData);

 private:
  std::shared_ptr<RtMidiIn> midi();
  static void deliver(double timestamp, std::vector<unsigned char>* message, void* port);

  // midiMutex_ is held only to copy or swap the pointer, never across an
  // RtMidi call, because RtMidi may wait for the MIDI thread that is running
  // our receiver. openCloseMutex_ keeps open() and close() from overlapping.
  std::mutex openCloseMutex_;
  std::mutex midiMutex_;
  std::shared_ptr<RtMidiIn> midiIn_;  // guarded by midiMutex_; null once closed

  // Held while a message is delivered, so that replacing the receiver waits
  // for a delivery in progress. Recursive: a receiver may replace itself.
  std::recursive_mutex callbackMutex_;
  Callback callback_ = nullptr;  // guarded by callbackMutex_
  void* userData_ = nullptr;     // guarded by callbackMutex_
};

class MidiPortOut : public Port {
 public:
  MidiPortOut(const std::string& name, unsigned int index,
              PortDirection direction = PortDirection::Out);
  ~MidiPortOut() override;

  bool open() override;
  bool close() override;
  bool isOpened() override;

  // Sends one message and traces it ("<<  "). False when the port is not
  // open or RtMidi fails; nothing is thrown.
  bool send(const MidiBytes& message);

  // The scanner's device list of the input port on which this output's
  // device answered; set and read by the scanner under its device-table lock.
  MidiPortDataList* getDeviceList() const { return deviceList_; }
  void setDeviceList(MidiPortDataList* list) { deviceList_ = list; }

 private:
  // As in MidiPortIn: midiMutex_ only for the pointer, never across RtMidi.
  std::mutex openCloseMutex_;
  std::mutex midiMutex_;
  std::shared_ptr<RtMidiOut> midiOut_;  // guarded by midiMutex_; null once closed
  std::shared_ptr<RtMidiOut> midi();

  MidiPortDataList* deviceList_ = nullptr;  // guarded by the scanner's device-table lock
};

}  // namespace Updater
