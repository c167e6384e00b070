#include "Updater/Programmer.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "Updater/Connection.h"
#include "Updater/DeviceInfo.h"
#include "Updater/DeviceInterface.h"
#include "Utils/Trace.h"

namespace Updater {

namespace {

// The trailing "gender" message of a firmware file, F0 00 2B 5E gg gg F7;
// it is never sent.
constexpr size_t kGenderMessageSize = 7;

// A closing reset F0 00 2B 5E ff pp 1B dh dl F7 carries its delay in
// milliseconds as two 7-bit halves, high first.
constexpr size_t kResetMessageSize = 10;
constexpr uint8_t kResetCommand = 0x1B;

constexpr uint8_t kFamily17 = 0x17;
constexpr uint8_t kEraseSubcommand = 0x03;   // byte 7 of a message that erases
constexpr uint8_t kTwiceSubcommand = 0x20;   // byte 7 of a first message asking for two loads

bool isOpen(const std::shared_ptr<DeviceInfo>& device) {
  return device && device->connection && device->connection->isConnectionOpened();
}

}  // namespace

void Programmer::sleepMs(int ms) {
  if (ms <= 0) return;
  if (sleep_)
    sleep_(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Programmer::report(const std::string& text, float progress) {
  if (status_) status_(text, progress);
}

void Programmer::notifyCancel(const std::string& text) {
  if (cancelled_) cancelled_(text);
}

bool Programmer::programDevice(const std::shared_ptr<DeviceInfo>& device,
                               const std::vector<std::string>& files) {
  cancel_.store(false);
  if (files.empty() || files.front().empty()) return true;
  if (!device || !device->deviceInterface) return false;
  DeviceInterface& table = *device->deviceInterface;
  const bool localUpdate = table.getUserCtxBool("localupdate", false);

  // Every listed file has to make it into the pedal: one that cannot be
  // loaded or fails its loop leaves the run failed, although the remaining
  // files are still programmed.
  bool anyProgrammed = false;
  bool allOk = true;
  const std::vector<std::string> list = files;
  for (const std::string& path : list) {
    Trace::print("start load: %s\n", path.c_str());
    MidiMessages messages = loadMidiFile(path);
    if (messages.empty()) {
      Trace::print("Nothing to program in %s\n", path.c_str());
      allOk = false;
      continue;
    }
    protocol_ = getUpdateProtocol(device, path, messages, localFile_);
    if (!localUpdate && !protocol_.isOk()) return false;
    if (messages.back().size() == kGenderMessageSize) messages.pop_back();
    if (messages.empty()) {
      allOk = false;
      continue;
    }

    bool ok = false;
    if (device->fid == kFamily17) {
      for (int run = 0; run < kFamily17Runs && !ok && !cancel_.load(); ++run)
        ok = programmingLoopFamily17(device, messages);
    } else {
      ok = programmingLoop(device, messages);
    }
    anyProgrammed = true;
    allOk = allOk && ok;
    sleepMs(kBetweenFilesMs);
    // Files after a cancel are not started; the closing message still goes
    // out so that the pedal is not left waiting for more.
    if (cancel_.load()) {
      allOk = false;
      break;
    }
  }

  const MidiBytes closing = table.lastProgrammingMsg();
  if (!closing.empty()) {
    int delayMs = 0;
    bool extraWait = false;
    if (closing.size() == kResetMessageSize && closing[6] == kResetCommand) {
      delayMs = std::clamp(closing[7] * 128 + closing[8], 0, kMaxResetDelayMs);
      extraWait = true;
    }
    if (writeMessageFree(device, closing)) {
      sleepMs(delayMs);
      if (extraWait) sleepMs(kResetExtraMs);
    } else {
      allOk = false;
    }
  }
  return anyProgrammed && allOk;
}

bool Programmer::programmingLoop(const std::shared_ptr<DeviceInfo>& device,
                                 const MidiMessages& messages) {
  return runLoop(device, messages, false);
}

bool Programmer::programmingLoopFamily17(const std::shared_ptr<DeviceInfo>& device,
                                         const MidiMessages& messages) {
  return runLoop(device, messages, true);
}

bool Programmer::runLoop(const std::shared_ptr<DeviceInfo>& device, const MidiMessages& messages,
                         bool family17) {
  if (!device || !device->deviceInterface || messages.empty()) return false;
  const DeviceInterface& table = *device->deviceInterface;
  // A pedal with a boot code that still runs its user code takes the
  // messages without acknowledging them.
  const bool unacknowledged = table.hasBootcode() && !table.isBootcode();
  const size_t total = messages.size();

  int loads = 1;
  if (family17) {
    const MidiBytes& first = messages.front();
    if (first.size() > 7 && first[7] == kTwiceSubcommand) loads = 2;
  }

  int passes = 0;
  while (passes < kPasses) {
    if (cancel_.load()) {
      notifyCancel("CANCEL! ");
      return false;
    }
    bool passFailed = false;
    ++passes;
    size_t sent = 0;
    for (int load = 0; load < loads; ++load) {
      if (family17) Trace::print("Load f17: %d\n", loads - load - 1);
      sent = 0;
      for (const MidiBytes& message : messages) {
        if (passFailed) break;
        bool ok = false;
        for (int attempt = 0; attempt < kAttempts && !ok; ++attempt) {
          if (cancel_.load()) {
            notifyCancel("CANCEL! msgSentCnt: " + std::to_string(sent) +
                         ", totalMsgCount: " + std::to_string(total) +
                         ", successRetryPhase: " + std::to_string(passes));
            return false;
          }
          if (unacknowledged) {
            ok = writeMessageFree(device, message);
            sleepMs(message.size() > 7 && message[7] == kEraseSubcommand ? kErasePaceMs : kPaceMs);
          } else {
            ok = writeMessage(device, message, kAckTimeoutMs);
            if (!ok && family17) return false;
          }
          if (!family17) Trace::print("MsgStatus: %d\n", ok ? 1 : 0);
        }
        ++sent;
        const float progress = static_cast<float>(sent) / static_cast<float>(total);
        if (!ok) {
          passFailed = true;
          report("Write failed", progress);
        } else {
          std::ostringstream text;
          text << "Programming " << progress * 100 << "%";
          report(text.str(), progress);
        }
      }
    }
    if (!passFailed) return sent == total;
  }
  return false;
}

bool Programmer::writeMessage(const std::shared_ptr<DeviceInfo>& device, const MidiBytes& message,
                              int timeoutMs) {
  if (!isOpen(device)) return false;
  MidiBytes reply;
  device->connection->sendAndWait(message, &reply, timeoutMs);
  if (reply.empty() || !protocol_.hasGood) return false;
  std::string text = convertFromArrayToString(reply);
  convertStringToUpperCase(text);
  return std::regex_match(text, protocol_.good);
}

bool Programmer::writeMessageFree(const std::shared_ptr<DeviceInfo>& device,
                                  const MidiBytes& message) {
  if (!isOpen(device)) return false;
  return device->connection->sendWithoutResponse(message);
}

}  // namespace Updater
