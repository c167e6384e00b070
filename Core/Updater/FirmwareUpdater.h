#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Updater/Programmer.h"

namespace Updater {

class DeviceInfo;

// Switches a pedal with a command table between its user code, its boot code
// and its USB DFU loader (a loader selection, then a reset), and programs it
// through its Programmer. Every call blocks the update thread.
class FirmwareUpdater {
 public:
  // Result codes of the command and update operations.
  static constexpr int kResultFailed = 0;       // no connection, or programming failed
  static constexpr int kResultDone = 3;         // sent, or programmed
  static constexpr int kResultNotPossible = 4;  // no record, no files, no connection

  // Milliseconds.
  static constexpr int kBeforeSwitchMs = 200;
  static constexpr int kSelectSettleMs = 500;   // before and after the loader selection
  static constexpr int kResetSettleMs = 1000;   // after the reset
  static constexpr int kAfterProgrammingMs = 10;
  static constexpr int kOpenChecks = 7;
  static constexpr int kOpenChecksUser = 5;

  FirmwareUpdater() = default;
  virtual ~FirmwareUpdater() = default;

  FirmwareUpdater(const FirmwareUpdater&) = delete;
  FirmwareUpdater& operator=(const FirmwareUpdater&) = delete;

  // kResultNotPossible without a record, files or an open connection;
  // otherwise kResultDone when programming succeeded, else kResultFailed.
  int updateFirmware(const std::shared_ptr<DeviceInfo>& device,
                     const std::vector<std::string>& files, bool flag);
  bool programDevice(const std::shared_ptr<DeviceInfo>& device,
                     const std::vector<std::string>& files, bool flag);

  // Each sends the switch once the connection is open and reports
  // kResultDone; whether the pedal obeyed shows when it is found again.
  int commandToDFU(const std::shared_ptr<DeviceInfo>& device, bool flag);
  int commandToBootcode(const std::shared_ptr<DeviceInfo>& device, bool flag);
  int commandToUsercode(const std::shared_ptr<DeviceInfo>& device, bool flag);

  bool commandDeviceToDFU(const std::shared_ptr<DeviceInfo>& device);
  // Only a pedal running its user code is sent to its boot code.
  bool commandDeviceToBootcode(const std::shared_ptr<DeviceInfo>& device);
  // Only a pedal running its boot code is sent to its user code.
  bool commandDeviceToUsercode(const std::shared_ptr<DeviceInfo>& device);

  bool selectDFUAndReset(const std::shared_ptr<DeviceInfo>& device);
  bool selectBootCodeAndReset(const std::shared_ptr<DeviceInfo>& device);
  bool selectUserCodeAndReset(const std::shared_ptr<DeviceInfo>& device);

  // Sends the table's message for key ("reset", "loader.set.boot", ...)
  // without waiting. False without an open connection or for an unknown key.
  bool writeCommand(const std::string& key, const std::shared_ptr<DeviceInfo>& device);

  // Any thread: stops a programming run at its next cancellation point.
  void cancel();

  void setProgrammerStatusCallback(std::function<void(std::string, float)> callback);
  void setCancleCallback(std::function<void(std::string)> callback);

  // Replaces every pause of the updater and its programmer (tests).
  void setSleepFunction(std::function<void(int)> sleeper);

 protected:
  // Asks the system to look at the USB bus again (virtual for tests).
  virtual void resetUSBBus();
  void sleepMs(int ms);

  Programmer& programmer() { return programmer_; }
  const std::function<void(std::string, float)>& statusCallback() const { return status_; }

  std::atomic<bool> updaterCancel_{false};

 private:
  // The shared part of the three commandTo... operations.
  int commandWhenOpen(const std::shared_ptr<DeviceInfo>& device, int checks,
                      bool (FirmwareUpdater::*command)(const std::shared_ptr<DeviceInfo>&));

  Programmer programmer_;
  std::function<void(std::string, float)> status_;
  std::function<void(int)> sleep_;
};

}  // namespace Updater
