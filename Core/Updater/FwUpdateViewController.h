#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Updater/DFUData.h"
#include "Updater/FirmwareUpdater.h"
#include "Updater/Version.h"

namespace Updater {

class DeviceInfo;

// True when text ends with ending (false when it is shorter).
bool hasEnding(const std::string& text, const std::string& ending);
// Same length and the same bytes.
bool vectorCompare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// Carries one firmware update of one pedal from start to end. The pedal is
// named by its ESN, not by a record: after each change of mode the scanner is
// reset and the pedal found again by its ESN.
//
// A run reports success only when every file was programmed, nothing was
// cancelled and the pedal came back afterwards. Runs block the calling (update)
// thread; cancel() may come from any other thread.
class FwUpdateViewController : public FirmwareUpdater {
 public:
  enum class State : int32_t {
    Init = -1,
    StartLocalUpdate = 0,
    LocalUpdate_GotoBoot,
    BeginLocalUpdate,
    LocalUpdate_GotoUser,
    CompleteLocalUpdate,
    UpdateToLatestVersion_Start,
    UpdateToLatestVersion_GoToBoot,
    UpdateToLatestVersion_ProgramFirmware,
    UpdateToLatestVersion_GotoUser,
    UpdateToLatestVersion_Complete,
  };

  using VentrixProgress = std::function<void(float progress, std::string text, bool flag)>;

  static constexpr int kRefindSettleMs = 300;   // after a mode change, before the search
  static constexpr int kVentrixFindTries = 5;
  static constexpr int kVentrixWriteTimeoutMs = 2000;
  static constexpr int kVentrixWriteAttempts = 3;
  static constexpr int kBootVersionTimeoutMs = 1000;

  FwUpdateViewController() = default;

  // Files the user picked; "...fwu.syx" files are programmed first.
  bool doLocalUpdate(std::vector<uint8_t> esn, std::vector<std::string> files, DFUData& dfu);
  // Files of the latest repository version, in the order given.
  bool doServerUpdate(std::vector<uint8_t> esn, std::vector<std::string> files, DFUData& dfu);

  // A family 0x12 pedal, from one firmware file, through its boot control.
  bool doVentrixUpdate(std::string path, std::vector<uint8_t> esn, VentrixProgress progress);
  // Whether the pedal's boot code is older than the repository's DFU image.
  bool checkIsBootUpdateNeed(std::shared_ptr<DeviceInfo> device, Version::Revision latest);

  void performState(std::shared_ptr<DeviceInfo> deviceInfo);

  void InitState(std::shared_ptr<DeviceInfo> deviceInfo);
  void StartLocalUpdate(std::shared_ptr<DeviceInfo> deviceInfo);
  void LocalUpdate_GotoBoot(std::shared_ptr<DeviceInfo> deviceInfo);
  void BeginLocalUpdate(std::shared_ptr<DeviceInfo> deviceInfo);
  void LocalUpdate_GotoUser(std::shared_ptr<DeviceInfo> deviceInfo);
  void CompleteLocalUpdate(std::shared_ptr<DeviceInfo> deviceInfo);
  void UpdateToLatestVersion_Start(std::shared_ptr<DeviceInfo> deviceInfo);
  void UpdateToLatestVersion_GoToBoot(std::shared_ptr<DeviceInfo> deviceInfo);
  void UpdateToLatestVersion_ProgramFirmware(std::shared_ptr<DeviceInfo> deviceInfo);
  void UpdateToLatestVersion_GotoUser(std::shared_ptr<DeviceInfo> deviceInfo);
  void UpdateToLatestVersion_Complete(std::shared_ptr<DeviceInfo> deviceInfo);

  // Program with the "localupdate" flag set (picked files) or cleared
  // (repository files); the outcome is kept for the run's result.
  void programLocalFile(std::shared_ptr<DeviceInfo> deviceInfo, const std::vector<std::string>& files,
                        bool flag);
  void updateDeviceFirmware(std::shared_ptr<DeviceInfo> deviceInfo,
                            const std::vector<std::string>& files, bool flag);

  // Any thread: the run stops at its next cancellation point and fails.
  void cancel();
  bool isCancelled() const { return cancelFlag_.load(); }

  // The state the machine is in (terminal after a run that got through).
  State state() const { return static_cast<State>(state_); }
  const std::vector<std::string>& localSrcFiles() const { return localSrcFiles_; }
  std::shared_ptr<DeviceInfo> device() const { return device_; }
  // The diagnostic text of the last failed run ("BeginLocalUpdate: ..."), or
  // a short reason for failures that end without one; empty after a success.
  const std::string& lastError() const { return lastError_; }

  // Number of looks findDeviceByESN gets per search (tests shorten it).
  void setFindAttempts(int attempts) { findAttempts_ = attempts; }

 protected:
  // The scanner as this controller uses it (virtual for tests).
  virtual std::shared_ptr<DeviceInfo> findDeviceByESN(const std::vector<uint8_t>& esn);
  virtual void scannerReset();
  virtual void scannerPause();
  virtual void scannerResume();

 private:
  bool fail(const std::string& reason);
  // Empty error text and no failure recorded.
  void beginRun(std::vector<uint8_t> esn, bool local);
  // A failure of the handler named prefix when the record or its table is
  // missing; true when the handler may go on.
  bool requireDevice(const std::shared_ptr<DeviceInfo>& deviceInfo, const char* prefix);
  void recordProgramming(bool ok);
  void finishing();

  int32_t state_ = static_cast<int32_t>(State::Init);
  std::shared_ptr<DeviceInfo> device_;
  std::vector<uint8_t> esn_;
  bool localUpdate_ = false;
  std::vector<std::string> localSrcFiles_;
  std::vector<std::string> repositoryFiles_;
  std::string errorText_;
  std::atomic<bool> cancelFlag_{false};

  // Outcome of the run beyond its error text: programming failed or was
  // cancelled, and whether the pedal was commanded into boot code.
  bool programmingFailed_ = false;
  bool switchedToBoot_ = false;
  std::string lastError_;
  int findAttempts_ = -1;  // -1: the scanner's own limit
};

}  // namespace Updater
