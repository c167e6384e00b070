#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Updater/FirmwareFile.h"
#include "Updater/plugins/Ventrix/HexUtil.h"

namespace Updater {

class DeviceInfo;

// Installs firmware files into a pedal that has a command table: message by
// message, acknowledged (boot code, and pedals programmed in user code) or
// paced (a pedal with a boot code that still runs its user code), with
// retries, progress reports and cancellation. Runs on the update thread.
class Programmer {
 public:
  using StatusCallback = std::function<void(std::string, float)>;
  using CancelCallback = std::function<void(std::string)>;

  static constexpr int kPasses = 2;            // over one file
  static constexpr int kAttempts = 25;         // per message
  static constexpr int kFamily17Runs = 3;      // per file, family 0x17 pedals
  static constexpr int kAckTimeoutMs = 200;
  static constexpr int kPaceMs = 25;           // between unacknowledged messages
  static constexpr int kErasePaceMs = 500;     // after an unacknowledged erase (byte 7 = 03)
  static constexpr int kBetweenFilesMs = 50;
  static constexpr int kResetExtraMs = 250;    // after a closing reset's own delay
  static constexpr int kMaxResetDelayMs = 10000;

  Programmer() = default;

  // Programs every file, in order, then sends the table's closing message.
  // True only when every listed file was loaded and programmed and the
  // closing message (if any) went out. An empty list, or an empty first
  // path, is nothing to do and gives true.
  bool programDevice(const std::shared_ptr<DeviceInfo>& device,
                     const std::vector<std::string>& files);

  bool programmingLoop(const std::shared_ptr<DeviceInfo>& device, const MidiMessages& messages);
  bool programmingLoopFamily17(const std::shared_ptr<DeviceInfo>& device,
                               const MidiMessages& messages);

  // Sends and waits for a reply the protocol's good expression accepts.
  bool writeMessage(const std::shared_ptr<DeviceInfo>& device, const MidiBytes& message,
                    int timeoutMs);
  bool writeMessageFree(const std::shared_ptr<DeviceInfo>& device, const MidiBytes& message);

  // Any thread.
  void cancel() { cancel_.store(true); }
  bool isCancelled() const { return cancel_.load(); }

  void setProgrammerStatusCallback(StatusCallback callback) { status_ = std::move(callback); }
  void setCancleCallback(CancelCallback callback) { cancelled_ = std::move(callback); }

  // While set, every file is programmed as user code whatever its name.
  void setLocalFile(bool localFile) { localFile_ = localFile; }
  bool isLocalFile() const { return localFile_; }

  const FwUpdateProtocol& protocol() const { return protocol_; }

  // Replaces the pause between steps (tests count instead of waiting).
  void setSleepFunction(std::function<void(int)> sleeper) { sleep_ = std::move(sleeper); }

 private:
  // One file: up to kPasses passes, each of one or two loads.
  bool runLoop(const std::shared_ptr<DeviceInfo>& device, const MidiMessages& messages,
               bool family17);
  void report(const std::string& text, float progress);
  void notifyCancel(const std::string& text);
  void sleepMs(int ms);

  std::atomic<bool> cancel_{false};
  StatusCallback status_;
  CancelCallback cancelled_;
  FwUpdateProtocol protocol_;
  bool localFile_ = false;
  std::function<void(int)> sleep_;
};

}  // namespace Updater
