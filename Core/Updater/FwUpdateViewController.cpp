#include "Updater/FwUpdateViewController.h"

#include <cmath>
#include <filesystem>
#include <regex>
#include <string>

#include "Updater/DeviceInfo.h"
#include "Updater/DeviceInterface.h"
#include "Updater/DeviceScanner.h"
#include "Updater/FirmwareFile.h"
#include "Updater/plugins/Ventrix/VxBootControl.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace Updater {

namespace {

// Bit 6 of byte 5 of a file's first message: the file is programmed from boot
// code (the product byte of a boot code has 0x40 set).
constexpr size_t kBootBitByte = 5;
constexpr uint8_t kBootBit = 0x40;
constexpr size_t kMinFirstMessage = 6;

// More steps than any run takes; a handler that did not move on must not
// keep the loop spinning.
constexpr int kMaxSteps = 32;

// Boot control's own commands; a file may carry them but they are never sent
// from it (the procedure enters and leaves boot code itself).
const MidiBytes kNeverSentEnableRecovery{0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x11, 0xF7};
const MidiBytes kNeverSentExitBoot{0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x01, 0xF7};

// Boot code version: F0 00 2B 5E ff pp 32 <beta> <major> <minor hi> <minor lo> F7,
// beta is '9' (0x39) for a beta.
constexpr const char* kBootVersionRequest = "F0 00 2B 5E vv vv 32 F7";
constexpr const char* kBootVersionPattern = "F0 00 2B 5E .. .. 32 .. .. .. .. F7";
constexpr uint8_t kBetaMarker = 0x39;

using State = FwUpdateViewController::State;

}  // namespace

bool hasEnding(const std::string& text, const std::string& ending) {
  if (text.size() < ending.size()) return false;
  return text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

bool vectorCompare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { return a == b; }

// ---- the scanner, as used here ------------------------------------------------

std::shared_ptr<DeviceInfo> FwUpdateViewController::findDeviceByESN(const std::vector<uint8_t>& esn) {
  if (findAttempts_ > 0) return DeviceScanner::Instance()->findDeviceByESN(esn, findAttempts_);
  return DeviceScanner::Instance()->findDeviceByESN(esn);
}
void FwUpdateViewController::scannerReset() { DeviceScanner::Instance()->reset(); }
void FwUpdateViewController::scannerPause() { DeviceScanner::Instance()->pause(); }
void FwUpdateViewController::scannerResume() { DeviceScanner::Instance()->resume(); }

// ---- runs -----------------------------------------------------------------------

void FwUpdateViewController::cancel() {
  cancelFlag_.store(true);
  FirmwareUpdater::cancel();
}

bool FwUpdateViewController::fail(const std::string& reason) {
  lastError_ = reason;
  if (!reason.empty()) Trace::print("Update failed: %s\n", reason.c_str());
  return false;
}

void FwUpdateViewController::beginRun(std::vector<uint8_t> esn, bool local) {
  state_ = static_cast<int32_t>(State::Init);
  localUpdate_ = local;
  esn_ = std::move(esn);
  // A failure text left by an earlier procedure must not end this run.
  errorText_.clear();
  lastError_.clear();
  programmingFailed_ = false;
  switchedToBoot_ = false;
}

bool FwUpdateViewController::doLocalUpdate(std::vector<uint8_t> esn, std::vector<std::string> files,
                                           DFUData& /*dfu*/) {
  beginRun(std::move(esn), true);
  localSrcFiles_.clear();
  for (const std::string& path : files) {
    if (hasEnding(path, "fwu.syx"))
      localSrcFiles_.insert(localSrcFiles_.begin(), path);
    else
      localSrcFiles_.push_back(path);
  }
  cancelFlag_.store(false);
  device_ = findDeviceByESN(esn_);
  if (!device_) return fail("the pedal was not found");

  for (int step = 0; state_ != static_cast<int32_t>(State::CompleteLocalUpdate); ++step) {
    if (step == kMaxSteps) return fail("the update did not finish");
    const auto previous = static_cast<State>(state_);
    performState(device_);
    if (!errorText_.empty()) {
      const std::string text = errorText_;
      errorText_.clear();
      return fail(text);
    }
    if (previous == State::LocalUpdate_GotoBoot || previous == State::LocalUpdate_GotoUser) {
      scannerReset();
      resetUSBBus();
      sleepMs(kRefindSettleMs);
      device_ = findDeviceByESN(esn_);
      scannerPause();
      // The terminal state's handler is not run, so nobody else would notice
      // a pedal that did not come back from its final restart.
      if (previous == State::LocalUpdate_GotoUser && !device_)
        return fail("CompleteLocalUpdate: deviceInfo == nullptr ");
    }
  }
  if (programmingFailed_) return fail(cancelFlag_.load() ? "cancelled" : "programming failed");
  return true;
}

bool FwUpdateViewController::doServerUpdate(std::vector<uint8_t> esn, std::vector<std::string> files,
                                            DFUData& /*dfu*/) {
  beginRun(std::move(esn), false);
  repositoryFiles_ = std::move(files);
  cancelFlag_.store(false);
  resetUSBBus();
  scannerResume();
  device_ = findDeviceByESN(esn_);
  scannerPause();
  if (!device_) return fail("the pedal was not found");

  for (int step = 0; state_ != static_cast<int32_t>(State::UpdateToLatestVersion_Complete); ++step) {
    if (step == kMaxSteps) return fail("the update did not finish");
    const auto previous = static_cast<State>(state_);
    performState(device_);
    if (!errorText_.empty()) {
      const std::string text = errorText_;
      errorText_.clear();
      return fail(text);
    }
    if (previous == State::UpdateToLatestVersion_GoToBoot ||
        previous == State::UpdateToLatestVersion_GotoUser) {
      scannerReset();
      resetUSBBus();
      scannerResume();
      device_ = findDeviceByESN(esn_);
      scannerPause();
      if (previous == State::UpdateToLatestVersion_GotoUser && !device_)
        return fail("UpdateToLatestVersion_Complete: deviceInfo == nullptr ");
    }
  }
  if (programmingFailed_) return fail(cancelFlag_.load() ? "cancelled" : "programming failed");
  return true;
}

// ---- the state machine ------------------------------------------------------------

void FwUpdateViewController::performState(std::shared_ptr<DeviceInfo> deviceInfo) {
  switch (static_cast<State>(state_)) {
    case State::Init: InitState(deviceInfo); break;
    case State::StartLocalUpdate: StartLocalUpdate(deviceInfo); break;
    case State::LocalUpdate_GotoBoot: LocalUpdate_GotoBoot(deviceInfo); break;
    case State::BeginLocalUpdate: BeginLocalUpdate(deviceInfo); break;
    case State::LocalUpdate_GotoUser: LocalUpdate_GotoUser(deviceInfo); break;
    case State::CompleteLocalUpdate: CompleteLocalUpdate(deviceInfo); break;
    case State::UpdateToLatestVersion_Start: UpdateToLatestVersion_Start(deviceInfo); break;
    case State::UpdateToLatestVersion_GoToBoot: UpdateToLatestVersion_GoToBoot(deviceInfo); break;
    case State::UpdateToLatestVersion_ProgramFirmware:
      UpdateToLatestVersion_ProgramFirmware(deviceInfo);
      break;
    case State::UpdateToLatestVersion_GotoUser: UpdateToLatestVersion_GotoUser(deviceInfo); break;
    case State::UpdateToLatestVersion_Complete: UpdateToLatestVersion_Complete(deviceInfo); break;
  }
}

bool FwUpdateViewController::requireDevice(const std::shared_ptr<DeviceInfo>& deviceInfo,
                                           const char* prefix) {
  if (!deviceInfo) {
    errorText_ = std::string(prefix) + ": deviceInfo == nullptr ";
    return false;
  }
  // A pedal without a command table (family 0x12) cannot go through here.
  if (!deviceInfo->deviceInterface) {
    errorText_ = std::string(prefix) + ": deviceInterface == nullptr ";
    return false;
  }
  return true;
}

void FwUpdateViewController::InitState(std::shared_ptr<DeviceInfo> /*deviceInfo*/) {
  state_ = static_cast<int32_t>(localUpdate_ ? State::StartLocalUpdate
                                             : State::UpdateToLatestVersion_Start);
}

void FwUpdateViewController::StartLocalUpdate(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "StartLocalUpdate")) return;
  if (localSrcFiles_.empty()) {
    errorText_ = "StartLocalUpdate: _localSrcFiles.size() == 0 ";
    return;
  }
  if (localSrcFiles_[0].empty()) {
    errorText_ = "StartLocalUpdate: _localSrcFiles[0].size() == 0";
    return;
  }
  const MidiMessages firstFileData = loadMidiFile(localSrcFiles_[0]);
  if (firstFileData.empty()) {
    errorText_ = "StartLocalUpdate: firstFileData.size() == 0";
    return;
  }
  if (firstFileData[0].size() < kMinFirstMessage) {
    errorText_ = "StartLocalUpdate: firstFileData[0].size() < 6";
    return;
  }
  const bool fromBootCode = (firstFileData[0][kBootBitByte] & kBootBit) != 0;
  if (std::filesystem::path(localSrcFiles_[0]).extension() == ".dfu") {
    errorText_ = "StartLocalUpdate: extension == .dfu";
    return;
  }
  const DeviceInterface& table = *deviceInfo->deviceInterface;
  if (fromBootCode) {
    state_ = static_cast<int32_t>(table.hasBootcode() ? State::LocalUpdate_GotoBoot
                                                      : State::BeginLocalUpdate);
  } else if (table.isBootcode()) {
    errorText_ = "StartLocalUpdate: This update requires the device to be in UserCode";
  } else {
    state_ = static_cast<int32_t>(State::BeginLocalUpdate);
  }
}

void FwUpdateViewController::LocalUpdate_GotoBoot(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "LocalUpdate_GotoBoot")) return;
  if (!deviceInfo->deviceInterface->isBootcode()) {
    switchedToBoot_ = true;
    commandToBootcode(deviceInfo, true);
  }
  state_ = static_cast<int32_t>(State::BeginLocalUpdate);
}

void FwUpdateViewController::BeginLocalUpdate(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (cancelFlag_.load()) {
    // Nothing is programmed, but a pedal already sent to its boot code is
    // still returned to its user code; the run fails.
    programmingFailed_ = true;
    state_ = static_cast<int32_t>(State::LocalUpdate_GotoUser);
    return;
  }
  if (!requireDevice(deviceInfo, "BeginLocalUpdate")) return;
  if (localSrcFiles_.empty()) {
    errorText_ = "BeginLocalUpdate: _localSrcFiles.size() == 0 ";
    return;
  }
  if (localSrcFiles_[0].empty()) {
    errorText_ = "BeginLocalUpdate: _localSrcFiles[0].size() == 0";
    return;
  }
  // A pedal that ignored the loader selection came back in its user code,
  // where it would take the messages without acknowledging any of them.
  if (switchedToBoot_ && !deviceInfo->deviceInterface->isBootcode()) {
    errorText_ = "BeginLocalUpdate: device did not enter boot code ";
    return;
  }
  programLocalFile(deviceInfo, localSrcFiles_, false);
  state_ = static_cast<int32_t>(State::LocalUpdate_GotoUser);
}

void FwUpdateViewController::finishing() {
  if (statusCallback()) statusCallback()("Finishing", 1.0f);
}

void FwUpdateViewController::LocalUpdate_GotoUser(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "LocalUpdate_GotoUser")) return;
  finishing();
  if (deviceInfo->deviceInterface->isBootcode()) commandToUsercode(deviceInfo, true);
  state_ = static_cast<int32_t>(State::CompleteLocalUpdate);
}

void FwUpdateViewController::CompleteLocalUpdate(std::shared_ptr<DeviceInfo> /*deviceInfo*/) {
  state_ = static_cast<int32_t>(State::Init);
}

void FwUpdateViewController::UpdateToLatestVersion_Start(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "UpdateToLatestVersion_Start")) return;
  if (repositoryFiles_.empty()) {
    errorText_ = "UpdateToLatestVersion_Start: _localSrcFiles.size() == 0 ";
    return;
  }
  if (repositoryFiles_[0].empty()) {
    errorText_ = "UpdateToLatestVersion_Start: _localSrcFiles[0].size() == 0";
    return;
  }
  const DeviceInterface& table = *deviceInfo->deviceInterface;
  state_ = static_cast<int32_t>(table.hasBootcode() && !table.isBootcode()
                                    ? State::UpdateToLatestVersion_GoToBoot
                                    : State::UpdateToLatestVersion_ProgramFirmware);
}

void FwUpdateViewController::UpdateToLatestVersion_GoToBoot(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "UpdateToLatestVersion_GoToBoot")) return;
  switchedToBoot_ = true;
  commandToBootcode(deviceInfo, true);
  state_ = static_cast<int32_t>(State::UpdateToLatestVersion_ProgramFirmware);
}

void FwUpdateViewController::UpdateToLatestVersion_ProgramFirmware(
    std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "UpdateToLatestVersion_ProgramFirmware")) return;
  if (switchedToBoot_ && !deviceInfo->deviceInterface->isBootcode()) {
    errorText_ = "UpdateToLatestVersion_ProgramFirmware: device did not enter boot code ";
    return;
  }
  if (cancelFlag_.load())
    programmingFailed_ = true;
  else
    updateDeviceFirmware(deviceInfo, repositoryFiles_, false);
  state_ = static_cast<int32_t>(State::UpdateToLatestVersion_GotoUser);
}

void FwUpdateViewController::UpdateToLatestVersion_GotoUser(std::shared_ptr<DeviceInfo> deviceInfo) {
  if (!requireDevice(deviceInfo, "UpdateToLatestVersion_GotoUser")) return;
  finishing();
  if (deviceInfo->deviceInterface->hasBootcode()) commandToUsercode(deviceInfo, true);
  state_ = static_cast<int32_t>(State::UpdateToLatestVersion_Complete);
}

void FwUpdateViewController::UpdateToLatestVersion_Complete(std::shared_ptr<DeviceInfo> /*deviceInfo*/) {
  state_ = static_cast<int32_t>(State::Init);
}

void FwUpdateViewController::recordProgramming(bool ok) {
  // A cancel that came while the programmer was being set up is seen here.
  if (!ok || cancelFlag_.load()) programmingFailed_ = true;
}

void FwUpdateViewController::programLocalFile(std::shared_ptr<DeviceInfo> deviceInfo,
                                              const std::vector<std::string>& files, bool flag) {
  if (!deviceInfo || !deviceInfo->deviceInterface) {
    errorText_ = "programLocalFile: deviceInfo == nullptr ";
    return;
  }
  deviceInfo->deviceInterface->setUserCtxBool("localupdate", true);
  programmer().setLocalFile(true);
  recordProgramming(updateFirmware(deviceInfo, files, flag) == kResultDone);
}

void FwUpdateViewController::updateDeviceFirmware(std::shared_ptr<DeviceInfo> deviceInfo,
                                                  const std::vector<std::string>& files, bool flag) {
  if (!deviceInfo || !deviceInfo->deviceInterface) {
    errorText_ = "updateDeviceFirmware: deviceInfo == nullptr ";
    return;
  }
  deviceInfo->deviceInterface->setUserCtxBool("localupdate", false);
  programmer().setLocalFile(false);
  recordProgramming(updateFirmware(deviceInfo, files, flag) == kResultDone);
}

// ---- family 0x12 ----------------------------------------------------------------------

bool FwUpdateViewController::doVentrixUpdate(std::string path, std::vector<uint8_t> esn,
                                             VentrixProgress progress) {
  beginRun(std::move(esn), false);
  cancelFlag_.store(false);
  auto report = [&progress](float fraction, const std::string& text, bool flag) {
    if (progress) progress(fraction, text, flag);
  };

  const MidiMessages loaded = loadMidiFile(path);
  if (loaded.empty()) return fail("the file holds no SysEx messages");
  std::vector<VxMidiData> messages;
  for (const MidiBytes& m : loaded) {
    if (vectorCompare(m, kNeverSentEnableRecovery) || vectorCompare(m, kNeverSentExitBoot)) continue;
    messages.emplace_back(m);
  }
  // Checked before the pedal is touched: with nothing to write, entering
  // boot code would only risk the pedal for an empty update.
  if (messages.empty()) return fail("the file holds no firmware messages");

  scannerReset();
  scannerResume();
  device_.reset();
  for (int i = 0; i < kVentrixFindTries && !device_; ++i) device_ = findDeviceByESN(esn_);
  if (!device_) return fail("the pedal was not found");
  const std::shared_ptr<Connection> connection = device_->connection;
  if (!connection) return fail("the pedal has no connection");
  connection->setExclusive(true);
  scannerPause();

  VxIdentiyInfo identity;
  identity.fid = device_->fid;
  identity.pid = device_->pid;
  VxBootControl control(connection, identity);

  // The first message names the pedal the file is for: 00 2B 5E <fid> <pid>.
  VxMidiData header;
  header.setData("00 2B 5E vv vv", device_->fid, device_->pid);
  if (!std::regex_search(messages.front().toString(' '), std::regex(header.toString(' '))))
    return fail("the file is not for this pedal");
  messages.erase(messages.begin());
  if (messages.empty()) return fail("the file holds no firmware messages");

  report(0.0f, "Enabling update mode", true);
  if (!control.enableBootcode()) return fail("the pedal did not enter its boot code");

  const int pid = device_->pid;
  if (!control.checkPid(((pid & 0xF0) << 4) | (pid & 0x0F))) {
    control.exitBoot();
    return fail("the boot code belongs to another product");
  }

  report(0.0f, "Programming", false);
  const auto total = static_cast<float>(messages.size());
  float done = 0;
  bool allWritten = true;
  bool cancelled = false;
  for (VxMidiData& message : messages) {
    // Between messages: what was written stays, boot code is left.
    if (cancelFlag_.load()) {
      cancelled = true;
      allWritten = false;
      break;
    }
    bool written = false;
    for (int attempt = 0; attempt < kVentrixWriteAttempts && !written; ++attempt) {
      written = control.writeFirmwareUpdateMsg(message, kVentrixWriteTimeoutMs);
      if (!written) {
        control.setMidiOutSafeMode();
        (void)control.isBlindMode();
      }
    }
    if (!written) {
      control.exitBoot();
      allWritten = false;
      break;
    }
    done += 1;
    const int percent = static_cast<int>(std::roundf(done * 100 / total));
    report(done / total, "Programming " + std::to_string(percent) + "%", false);
  }

  const bool left = control.exitBoot();
  if (allWritten && !left) {
    report(0.0f, "Failed to exit boot code", false);
    return fail("Failed to exit boot code");
  }
  if (cancelled) return fail("cancelled");
  if (!allWritten) return fail("programming failed");
  return true;
}

bool FwUpdateViewController::checkIsBootUpdateNeed(std::shared_ptr<DeviceInfo> device,
                                                   Version::Revision latest) {
  if (!device || !device->connection) return false;
  VxMidiData request;
  request.setData(kBootVersionRequest, device->fid, device->pid);
  auto trigger = std::make_shared<VxMidiTrigger>(kBootVersionPattern);
  if (!device->connection->sendAndWait(request.bytes(), trigger, kBootVersionTimeoutMs, false))
    return false;
  VxMidiData reply;
  // The trigger takes a shorter message that agrees with its first bytes.
  if (!trigger->dequeue(reply) || reply.length() < 12) return false;
  const bool beta = reply[7] == kBetaMarker;
  const int major = reply[8];
  const int minor = reply[9] * 256 + reply[10];
  if (beta != latest.beta) return true;
  // Newer means a greater (major, minor) pair; an image older than the boot
  // code is not an update.
  return latest.major > major || (latest.major == major && latest.minor > minor);
}

}  // namespace Updater
