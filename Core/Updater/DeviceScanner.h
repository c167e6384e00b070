#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <RtMidi.h>

#include "DataManager/DeviceTypes.h"
#include "Updater/DeviceInfo.h"
#include "Updater/Port.h"

namespace Updater {

// The reply the scanner daemon is waiting for.
enum class ResponseType : int {
  ESN = 0,       // serial number (F0 00 2B 5E ff pp 21 ...)
  Identity = 1,  // MIDI identity reply
  None = 2,      // nothing awaited
  DSP = 3,       // DSP identity (command 42)
  Gender = 4,    // owner of a shared boot code (command 2F)
};

// Bytes 3-7 of an identity reply from one of our pedals.
inline constexpr std::array<uint8_t, 5> identityResponseHeader{0x06, 0x02, 0x00, 0x2B, 0x5E};
// Bytes 1-3 of every manufacturer message of our pedals.
inline constexpr std::array<uint8_t, 3> esnStringResponseHeader{0x00, 0x2B, 0x5E};
// Identity reply byte 12 of a beta user code (the character '9').
inline constexpr uint8_t betaByteValue = 0x39;

class DeviceScanner;

// The device list of one input port together with the scanner that owns it:
// the user data of that port's validation callback. Entries are shared so
// that the daemon can keep using one the callback has just removed.
struct ScannerDeviceList {
  DeviceScanner* scanner = nullptr;
  MidiPortDataList entries;  // guarded by the scanner's device-table lock
};

// The process-wide device scanner. A daemon thread probes every MIDI port in
// cycles (identity request, then serial number, boot-code owner, DSP and
// user-code versions of what answered); the replies are read on the MIDI
// input threads by connectionValidationCallback. Users poll the result with
// doScan() or findDeviceByESN().
//
// Threads: the daemon (owned here: startDemon starts it, killDemon and the
// destructor join it), the MIDI input threads (the validation callback), and
// any number of callers. Every public operation may be called from any thread.
//
// Records handed out by doScan() are shared with the scanner, which keeps
// refreshing them while it runs (it writes a field only when its value
// changes). A reader that runs while the scanner runs and wants a consistent
// view takes readDevice(); the update procedures pause the scanner instead.
class DeviceScanner {
 public:
  static DeviceScanner* Instance();

  // The program uses Instance(); tests and benchmarks may make their own.
  DeviceScanner();
  ~DeviceScanner();

  DeviceScanner(const DeviceScanner&) = delete;
  DeviceScanner& operator=(const DeviceScanner&) = delete;

  void startDemon();
  // Stops the daemon after its current cycle (a few seconds at most), also
  // when it is paused; returns when the thread has ended.
  void killDemon();
  bool isRunning() const { return running_.load(); }

  // The daemon stops at the start of its next cycle (a cycle in progress is
  // completed). Not counted: one resume() undoes any number of pause() calls.
  void pause();
  void resume();
  bool isPaused();

  // Drops every port, list and device record and ends with the scanner
  // resumed. Records handed out before keep their fields but lose their
  // connection; the devices come back as new records.
  void reset();

  // The present devices in ESN order. Waits first until the set of output
  // ports has been stable for a cycle (and at least 150 ms); with times > 1,
  // looks that often, 150 ms apart, and returns the last look.
  std::vector<std::shared_ptr<DeviceInfo>> doScan(int times);

  // Waits for the device with this ESN text to be present; null when it has
  // not appeared within `attempts` looks (300 ms apart, about 30 s for 65).
  std::shared_ptr<DeviceInfo> findDeviceByESN(const std::vector<uint8_t>& esn,
                                              int attempts = kFindAttempts);

  // A copy of the record's fields taken under the device-table lock, so that
  // none of them changes while it is read. The copy shares the connection
  // and command table.
  DeviceInfo readDevice(const std::shared_ptr<DeviceInfo>& device);

  // Asks a device in boot code for the version of its user code (the reply
  // reaches the device's connection through the validation callback).
  void getUserVersion(std::shared_ptr<DeviceInfo> device);

  // Waits the whole reply window (150 ms) for one reply type; true when the
  // validation callback handled such a reply in it.
  bool setWaitResponse(ResponseType type);
  // Called by the validation callback when it handled a reply of that type.
  void responseReceived(ResponseType type);
  ResponseType getWaitType() const { return waitType_.load(); }

  // An output port disappeared in the last cycle and no stable cycle has
  // followed yet.
  bool isBusOnReset();
  // Number of the cycle in progress (0 for the first).
  int32_t cycleNumber();
  // Devices that answered lately but are not listed yet (a record waits for
  // its second serial number).
  int pendingDeviceCount();

  // Whether a device of this type may be updated through an input port of
  // this name: pedals with their own USB MIDI port must answer on it.
  static bool isValidConnection(VX::DeviceType type, const std::string& portName);
  // The stable stand-in ESN of a device behind a foreign port: eight hex
  // digits from the two port names and the type; empty for a type that is
  // valid on any port.
  static std::string generateProxyESN(const MidiPortData* entry);
  // Ports this program makes itself (its RtMidi clients, listed on ALSA and
  // JACK like any other port); the scanner never probes them.
  static bool isOwnPort(const std::string& portName);

  static constexpr int kReplyWindowMs = 150;
  static constexpr int kCycleSleepMs = 300;
  static constexpr int kUserVersionTimeoutMs = 1000;
  static constexpr int kFindAttempts = 65;
  // A device is absent once the cycle number exceeds its last answer by more.
  static constexpr int kMissedCyclesAllowed = 3;

 private:
  friend void connectionValidationCallback(double, std::vector<unsigned char>*, void*);

  using PortOutMap = std::map<std::string, std::shared_ptr<MidiPortOut>>;

  void demon();
  bool waitAtPauseGate();  // false when the daemon is to stop
  // Fills outputPorts_ from the system's list; gone receives the ports of
  // the last cycle that are no longer listed.
  void listOutputPorts(PortOutMap& gone);
  void listInputPorts();
  void probe(const std::shared_ptr<MidiPortOut>& port);
  void probeList(const std::shared_ptr<MidiPortOut>& port, ScannerDeviceList* list);
  void pruneUnanswered(ScannerDeviceList* list);
  void markAbsent();
  // Everything reset() drops; called with mainMutex_ held.
  void dropAll();

  // Callback side (MIDI input threads), in DeviceScanner.cpp.
  void handleMessage(double timestamp, std::vector<unsigned char>* message,
                     ScannerDeviceList* list);
  bool handleIdentity(const std::vector<unsigned char>& message, ScannerDeviceList* list);
  bool handleSerialNumber(const std::vector<unsigned char>& message, ScannerDeviceList* list);

  // Held by the daemon while it maintains the port maps and while it probes,
  // and by reset(). Taken before deviceTableMutex_, never after it.
  std::mutex mainMutex_;

  // Serialises startDemon/killDemon.
  std::mutex demonMutex_;
  std::thread demon_;  // guarded by demonMutex_
  std::atomic<bool> running_{false};

  // Pause gate: a state any thread may open or close.
  std::mutex scanerPauseMutex_;
  std::condition_variable pauseChanged_;
  bool isScanerPaused_ = false;  // guarded by scanerPauseMutex_

  std::mutex responseMutex_;
  std::condition_variable responseCv_;
  bool responseFlag_ = false;  // guarded by responseMutex_
  std::atomic<ResponseType> waitType_{ResponseType::None};

  // Port maps, all guarded by mainMutex_.
  std::map<std::string, std::shared_ptr<MidiPortIn>> inputPorts_;
  PortOutMap outputPorts_;
  std::map<std::string, std::shared_ptr<MidiPortData>> firstEntries_;
  // The device list of each input port, by port name. The lists themselves
  // (their entries and every entry's fields) are guarded by deviceTableMutex_.
  std::map<std::string, std::unique_ptr<ScannerDeviceList>> deviceLists_;

  std::mutex deviceTableMutex_;
  std::map<std::string, std::shared_ptr<DeviceInfo>> deviceTable_;  // guarded by deviceTableMutex_
  bool isBusOnReset_ = false;                     // guarded by deviceTableMutex_
  std::shared_ptr<MidiPortOut> currentOutputPort_;  // guarded by deviceTableMutex_
  int32_t cycle_ = 0;                              // guarded by deviceTableMutex_
  // The fid/pid each record's command table was made for.
  std::map<const DeviceInfo*, int> interfaceFidpid_;  // guarded by deviceTableMutex_

  // Used only to count and name ports; null when RtMidi could not make them
  // (then every cycle finds no ports). Only the daemon uses them.
  std::shared_ptr<RtMidiIn> enumIn_;
  std::shared_ptr<RtMidiOut> enumOut_;
};

// The input callback of every scanner input port; userData is the port's
// ScannerDeviceList.
void connectionValidationCallback(double timestamp, std::vector<unsigned char>* message,
                                  void* userData);

// The ELF (PJW) string hash, characters taken as signed bytes.
uint32_t ELFHash(const std::string& text);

// Removes entries whose ESN is empty or repeats an earlier one. The index
// advances after a removal too, so the entry that moves into the gap is not
// looked at in this pass (that is how a chained pedal's fresh entry survives
// to get its own serial number). Call with the device-table lock held.
void removeDuplicateDevices(MidiPortDataList* list);

}  // namespace Updater
