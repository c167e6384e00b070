#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FakeConnection.h"
#include "Updater/DeviceInfo.h"
#include "Updater/FwUpdateViewController.h"
#include "Updater/InterfaceFactory.h"

namespace velorin::test {

// A pedal behind scripted connections that follows loader selections and
// resets (user code <-> boot code) and acknowledges firmware messages, plus
// a controller whose scanner is this pedal: every search hands out a fresh
// record (with a fresh connection) in the pedal's current mode, as the real
// scanner does after a reset.
class FakePedal {
 public:
  FakePedal(uint8_t fid, uint8_t userPid, bool inBoot = false);

  std::shared_ptr<Updater::DeviceInfo> record();
  std::vector<MidiBytes> received();
  std::vector<MidiBytes> firmwareReceived();

  std::vector<uint8_t> esn{'0', '1', '0', '2'};
  bool inBoot;
  bool ignoreLoader = false;
  bool present = true;
  bool vanishAfterReset = false;  // gone for good after the next reset
  // Status byte of the acknowledgement to the n-th firmware message (1-based);
  // -1 for silence.
  std::function<int(int n)> ackStatus = [](int) { return 0; };
  // Called for each firmware message received (1-based count).
  std::function<void(int n)> onFirmware;
  // Family 0x12: the boot code answers exit requests.
  bool exitAnswers = true;

 private:
  std::vector<MidiBytes> respond(const MidiBytes& request);
  std::vector<MidiBytes> respondVentrix(const MidiBytes& request);
  uint8_t pid() const { return inBoot ? static_cast<uint8_t>(userPid_ | 0x40) : userPid_; }

  std::mutex mutex_;
  uint8_t fid_;
  uint8_t userPid_;
  uint8_t selected_ = 0x00;
  bool recoveryWindow_ = false;
  int firmwareCount_ = 0;
  std::vector<MidiBytes> received_;
};

class PedalController : public Updater::FwUpdateViewController {
 public:
  explicit PedalController(FakePedal& pedal) : pedal_(pedal) {
    setSleepFunction([](int) {});
  }
  // Scanner calls in order: "find", "reset", "pause", "resume", "bus".
  std::vector<std::string> events;
  // Runs before each search (a test may cancel here).
  std::function<void(int search)> beforeFind;

 protected:
  std::shared_ptr<Updater::DeviceInfo> findDeviceByESN(const std::vector<uint8_t>& esn) override;
  void scannerReset() override { events.push_back("reset"); }
  void scannerPause() override { events.push_back("pause"); }
  void scannerResume() override { events.push_back("resume"); }
  void resetUSBBus() override { events.push_back("bus"); }

 private:
  FakePedal& pedal_;
  int searches_ = 0;
};

}  // namespace velorin::test
