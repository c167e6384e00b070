#include "Updater/FirmwareUpdater.h"

#include <any>
#include <chrono>
#include <thread>

#include "USBBusManager.h"
#include "Updater/Connection.h"
#include "Updater/DeviceInfo.h"
#include "Updater/DeviceInterface.h"
#include "Utils/Trace.h"

namespace Updater {

namespace {

bool isOpen(const std::shared_ptr<DeviceInfo>& device) {
  return device && device->connection && device->connection->isConnectionOpened();
}

}  // namespace

void FirmwareUpdater::resetUSBBus() { USBBusManager::Shared()->resetUSBBus(); }

void FirmwareUpdater::sleepMs(int ms) {
  if (ms <= 0) return;
  if (sleep_)
    sleep_(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void FirmwareUpdater::setSleepFunction(std::function<void(int)> sleeper) {
  sleep_ = sleeper;
  programmer_.setSleepFunction(std::move(sleeper));
}

void FirmwareUpdater::setProgrammerStatusCallback(std::function<void(std::string, float)> callback) {
  status_ = callback;
  programmer_.setProgrammerStatusCallback(std::move(callback));
}

void FirmwareUpdater::setCancleCallback(std::function<void(std::string)> callback) {
  programmer_.setCancleCallback(std::move(callback));
}

void FirmwareUpdater::cancel() {
  updaterCancel_.store(true);
  programmer_.cancel();
}

int FirmwareUpdater::updateFirmware(const std::shared_ptr<DeviceInfo>& device,
                                    const std::vector<std::string>& files, bool flag) {
  if (!device || files.empty() || !isOpen(device)) return kResultNotPossible;
  return programDevice(device, files, flag) ? kResultDone : kResultFailed;
}

bool FirmwareUpdater::programDevice(const std::shared_ptr<DeviceInfo>& device,
                                    const std::vector<std::string>& files, bool /*flag*/) {
  updaterCancel_.store(false);
  if (!device) return false;
  const bool ok = programmer_.programDevice(device, files);
  sleepMs(kAfterProgrammingMs);
  return ok;
}

int FirmwareUpdater::commandWhenOpen(
    const std::shared_ptr<DeviceInfo>& device, int checks,
    bool (FirmwareUpdater::*command)(const std::shared_ptr<DeviceInfo>&)) {
  sleepMs(kBeforeSwitchMs);
  for (int i = 0; i < checks; ++i) {
    if (isOpen(device)) {
      (this->*command)(device);
      return kResultDone;
    }
  }
  return kResultFailed;
}

int FirmwareUpdater::commandToDFU(const std::shared_ptr<DeviceInfo>& device, bool /*flag*/) {
  if (!device) return kResultNotPossible;
  return commandWhenOpen(device, kOpenChecks, &FirmwareUpdater::commandDeviceToDFU);
}

int FirmwareUpdater::commandToBootcode(const std::shared_ptr<DeviceInfo>& device, bool /*flag*/) {
  if (!device || !device->connection) return kResultNotPossible;
  return commandWhenOpen(device, kOpenChecks, &FirmwareUpdater::commandDeviceToBootcode);
}

int FirmwareUpdater::commandToUsercode(const std::shared_ptr<DeviceInfo>& device, bool /*flag*/) {
  if (!device) return kResultNotPossible;
  return commandWhenOpen(device, kOpenChecksUser, &FirmwareUpdater::commandDeviceToUsercode);
}

bool FirmwareUpdater::commandDeviceToDFU(const std::shared_ptr<DeviceInfo>& device) {
  return device && selectDFUAndReset(device);
}

bool FirmwareUpdater::commandDeviceToBootcode(const std::shared_ptr<DeviceInfo>& device) {
  if (!device || !device->deviceInterface || device->deviceInterface->isBootcode()) return false;
  return selectBootCodeAndReset(device);
}

bool FirmwareUpdater::commandDeviceToUsercode(const std::shared_ptr<DeviceInfo>& device) {
  if (!device || !device->deviceInterface || !device->deviceInterface->isBootcode()) return false;
  return selectUserCodeAndReset(device);
}

bool FirmwareUpdater::selectDFUAndReset(const std::shared_ptr<DeviceInfo>& device) {
  sleepMs(kSelectSettleMs);
  if (!writeCommand("loader.set.dfu", device)) return false;
  sleepMs(kSelectSettleMs);
  if (!writeCommand("reset", device)) return false;
  sleepMs(kResetSettleMs);
  if (device->connection) device->connection->deactivate();
  return true;
}

bool FirmwareUpdater::selectBootCodeAndReset(const std::shared_ptr<DeviceInfo>& device) {
  sleepMs(kSelectSettleMs);
  if (!writeCommand("loader.set.boot", device)) return false;
  sleepMs(kSelectSettleMs);
  if (!writeCommand("reset", device)) return false;
  sleepMs(kResetSettleMs);
  if (device->connection) device->connection->deactivate();
  resetUSBBus();
  return true;
}

bool FirmwareUpdater::selectUserCodeAndReset(const std::shared_ptr<DeviceInfo>& device) {
  if (!writeCommand("loader.set.user", device)) return false;
  sleepMs(kSelectSettleMs);
  if (!writeCommand("reset", device)) return false;
  if (device->connection) device->connection->deactivate();
  sleepMs(kResetSettleMs);
  return true;
}

bool FirmwareUpdater::writeCommand(const std::string& key,
                                   const std::shared_ptr<DeviceInfo>& device) {
  if (!isOpen(device) || !device->deviceInterface) return false;
  const std::any value = device->deviceInterface->lookup(key);
  const auto* text = std::any_cast<std::string>(&value);
  if (!text) {
    Trace::print("No command '%s' for this pedal\n", key.c_str());
    return false;
  }
  return device->connection->sendWithoutResponse(convertFromStringToArray(*text));
}

}  // namespace Updater
