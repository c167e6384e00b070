#include "Updater/plugins/Ventrix/VxBootControl.h"

#include <chrono>
#include <thread>
#include <utility>

#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace Updater {

namespace {

// Identity reply of any device from this maker.
constexpr const char* kIdentityPattern = "F0 7E .. 06 02 00 2B 5E";
constexpr const char* kIdentityRequest = "F0 7E vv 06 01 F7";  // vv: device id 7F, all
constexpr const char* kBankPattern = "F0 00 2B 5E 42 0[89] .. ..";
constexpr const char* kBank0Request = "F0 00 2B 5E 42 08 F7";
constexpr const char* kBank1Request = "F0 00 2B 5E 42 09 F7";
constexpr const char* kBankInvalid = "F0 00 2B 5E 42 0[89] 02 F7";
constexpr const char* kBankValid =
    "F0 00 2B 5E 42 0[89] .. .. .. .. .. .. .. .. .. .. .. .. .. F7";
constexpr const char* kEnableRecovery = "F0 00 2B 5E 42 11 F7";
constexpr const char* kEnableRecoveryPattern = "F0 00 2B 5E 42 11 .. F7";
constexpr const char* kRecoveryAccepted = "F0 00 2B 5E 42 11 00 F7";
constexpr const char* kRecoveryRejected = "F0 00 2B 5E 42 11 01 F7";
constexpr const char* kRecoveryFailed = "F0 00 2B 5E 42 11 02 F7";
constexpr const char* kExitBoot = "F0 00 2B 5E 42 01 F7";
// Raw read of the product id: the reply repeats the request's body and adds
// the product id as two nibbles, then two more bytes.
constexpr const char* kPidRequest = "F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 F7";
constexpr const char* kPidPattern = "F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 0%1 0%2 .. .. F7";

constexpr size_t kFirmwareOperationByte = 8;
constexpr uint8_t kFirmwareWrite = 0x03;

}  // namespace

bool matchesPattern(const VxMidiData& message, const std::string& patternText) {
  std::vector<HexUtil::VxChar> pattern;
  HexUtil::pattern(patternText, pattern);
  if (pattern.size() != message.length() * 2) return false;
  for (size_t i = 0; i < message.length(); ++i) {
    const uint8_t byte = message.bytes()[i];
    if (pattern[2 * i] != (byte >> 4) || pattern[2 * i + 1] != (byte & 0x0F)) return false;
  }
  return true;
}

// ---- records ----------------------------------------------------------------

bool VxIdentiyInfo::fromIdentData(const VxMidiData& reply) {
  // A trigger accepts any message that agrees with its pattern's first bytes,
  // so a truncated reply can get here.
  if (reply.length() < 11) return false;
  fid = reply[8];
  pid = reply[10];
  return true;
}

void VxCodeBankInfo::clear() {
  present = false;
  codeSize = -1;
  codeVersion.clear();
  active = false;
}

void VxCodeBankInfo::init(const VxMidiData& reply) {
  clear();
  if (matchesPattern(reply, kBankInvalid)) return;
  if (!matchesPattern(reply, kBankValid)) return;
  present = true;
  codeVersion = reply.toAsciiString(6, 4);
  codeSize = 0;
  if (reply.length() > 19) {
    for (int i = 0; i < 8; ++i) codeSize = codeSize * 16 + (reply[10 + i] & 0x0F);
  }
  active = reply[18] == 1;
}

void VxBootCodeInfo::setBank(int index, const VxCodeBankInfo& bank) {
  if (index == 0)
    bank0 = bank;
  else
    bank1 = bank;
}

// ---- boot control -------------------------------------------------------------

const char* const VxBootControl::kPrivateResetPartial = "F0 00 2B 5E vv vv 1B F7";
const char* const VxBootControl::kFUGood = "F0 00 2B 5E 42 0C 00 F7";
const char* const VxBootControl::kFUBad = "F0 00 2B 5E 42 0C 01 F7";
const char* const VxBootControl::kFUFailed = "F0 00 2B 5E 42 0C 02 F7";
const char* const VxBootControl::kFUResponcePattern = "F0 00 2B 5E 42 0C .. F7";

VxBootControl::VxBootControl(std::shared_ptr<Connection> connection,
                             const VxIdentiyInfo& identity)
    : connection_(std::move(connection)), identity_(identity) {}

void VxBootControl::sleepMs(int ms) {
  if (sleep_)
    sleep_(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool VxBootControl::sendAndWait(const VxMidiData& request,
                                const std::shared_ptr<VxMidiTrigger>& trigger, int timeoutMs) {
  if (!connection_) return false;
  return connection_->sendAndWait(request.bytes(), trigger, timeoutMs, true);
}

bool VxBootControl::sendAndWaitPlain(const VxMidiData& request, int timeoutMs) {
  if (!connection_) return false;
  MidiBytes reply;
  return connection_->sendAndWait(request.bytes(), &reply, timeoutMs);
}

bool VxBootControl::sendFree(const VxMidiData& request) {
  if (!connection_) return false;
  return connection_->sendWithoutResponse(request.bytes());
}

bool VxBootControl::identify(VxIdentiyInfo& out) {
  auto trigger = std::make_shared<VxMidiTrigger>(kIdentityPattern);
  VxMidiData request;
  request.setData(kIdentityRequest, 0x7F);
  if (!sendAndWait(request, trigger, kIdentityTimeoutMs)) {
    Trace::print("Timeout waiting for identity response in BootControl\n");
    return false;
  }
  if (identity_.isEmpty()) return true;
  VxMidiData reply;
  if (!trigger->dequeue(reply)) return false;
  if (!out.fromIdentData(reply)) return false;
  Trace::print("BootControl Id Result: %d\n", out.getShortFidpid());
  return true;
}

VxMidiData VxBootControl::makePrivateResetCmd() {
  VxIdentiyInfo answered;
  if (!identify(answered)) {
    Trace::print("No response from identity request\n");
    return VxMidiData();
  }
  VxMidiData command;
  command.setData(kPrivateResetPartial, identity_.fid, identity_.pid);
  return command;
}

bool VxBootControl::isBootcode() {
  auto trigger = std::make_shared<VxMidiTrigger>(kBankPattern);
  return sendAndWait(VxMidiData(kBank0Request), trigger, kProbeTimeoutMs);
}

bool VxBootControl::enableBootcode() {
  if (isBootcode()) return true;

  const VxMidiData reset = makePrivateResetCmd();
  if (reset.length() == 0) return false;

  auto trigger = std::make_shared<VxMidiTrigger>(kEnableRecoveryPattern);
  sendFree(reset);
  sleepMs(kResetSettleMs);

  // The pedal restarts after the reset and answers once its boot code runs.
  VxMidiData reply;
  const VxMidiData enable(kEnableRecovery);
  for (int attempt = 0; attempt < kRecoveryAttempts; ++attempt) {
    sendAndWait(enable, trigger, kRecoveryTimeoutMs);
    sleepMs(kRecoveryPauseMs);
    if (trigger->dequeue(reply)) break;
  }

  if (reply == kRecoveryAccepted) {
    if (isBootcode()) {
      Trace::print("Device is running boot code");
      return true;
    }
    // Accepted but not verifiable: send the pedal back to its user code. The
    // attempt to enter boot code has failed whether or not it answers.
    Trace::print("Failed to verify device is in boot code\n");
    sendAndWaitPlain(VxMidiData(kExitBoot), kAbandonExitTimeoutMs);
    return false;
  }
  if (reply == kRecoveryRejected) {
    Trace::print("The device has rejected the enable recovery command");
    return false;
  }
  if (reply == kRecoveryFailed) {
    Trace::print("Device has failed the enabled recovery command");
    return false;
  }
  sendAndWaitPlain(VxMidiData(kExitBoot), kAbandonExitTimeoutMs);
  Trace::print("Timeout entering boot code");
  return false;
}

bool VxBootControl::checkPid(int value) {
  const MidiBytes nibbles{static_cast<uint8_t>((value >> 8) & 0xFF),
                          static_cast<uint8_t>(value & 0xFF)};
  auto trigger = std::make_shared<VxMidiTrigger>(buildString(kPidPattern, nibbles));
  return sendAndWait(VxMidiData(kPidRequest), trigger, kProbeTimeoutMs);
}

bool VxBootControl::writeFirmwareUpdateMsg(VxMidiData& msg, int timeoutMs) {
  if (msg.length() <= kFirmwareOperationByte) {
    Trace::print("Firmware message too short: %s\n", msg.toString(' ').c_str());
    return false;
  }
  msg[kFirmwareOperationByte] = kFirmwareWrite;

  auto trigger = std::make_shared<VxMidiTrigger>(kFUResponcePattern);
  if (!sendAndWait(msg, trigger, timeoutMs)) {
    Trace::print("Timeout waiting on %s \n", msg.toString(' ').c_str());
    return false;
  }
  VxMidiData reply;
  if (!trigger->dequeue(reply)) return false;
  if (reply == kFUGood) return true;
  if (reply == kFUBad) {
    Trace::print("kFUBad\n");
    return false;
  }
  if (reply == kFUFailed) {
    Trace::print("kFUFailed\n");
    return false;
  }
  Trace::print("Unknown response: %s\n", reply.toString(' ').c_str());
  return false;
}

bool VxBootControl::exitBoot(VxIdentiyInfo* out) {
  auto trigger = std::make_shared<VxMidiTrigger>(kIdentityPattern);
  if (!sendAndWait(VxMidiData(kExitBoot), trigger, kExitBootTimeoutMs)) return false;
  if (!out) return true;
  VxMidiData reply;
  if (!trigger->dequeue(reply)) return false;
  return out->fromIdentData(reply);
}

bool VxBootControl::privateReset() {
  const VxMidiData command = makePrivateResetCmd();
  if (command.length() == 0) return false;
  sendFree(command);
  return true;
}

bool VxBootControl::writeMidi(const VxMidiData& msg) {
  sendFree(msg);
  return true;
}

bool VxBootControl::readBank(const char* request, VxCodeBankInfo& bank) {
  auto trigger = std::make_shared<VxMidiTrigger>(kBankPattern);
  VxMidiData reply;
  if (sendAndWait(VxMidiData(request), trigger, kBankInfoTimeoutMs) && trigger->dequeue(reply)) {
    bank.init(reply);
    return true;
  }
  bank.clear();
  return false;
}

bool VxBootControl::getBootCodeInfo(VxBootCodeInfo& info) {
  if (!isBootcode()) return false;
  VxIdentiyInfo answered;
  if (identify(answered)) info.setVersion(answered.text);

  VxCodeBankInfo bank;
  readBank(kBank0Request, bank);
  info.setBank(0, bank);
  readBank(kBank1Request, bank);
  info.setBank(1, bank);
  return info.isOk();
}

std::string VxBootControl::getBankInfoString() {
  VxBootCodeInfo info;
  if (getBootCodeInfo(info)) return {};
  return "Failed to access boot code information";
}

bool VxBootControl::activateStep(const char* request, const char* reply) {
  auto trigger = std::make_shared<VxMidiTrigger>(reply);
  return sendAndWait(VxMidiData(request), trigger, kActivateTimeoutMs);
}

bool VxBootControl::activateBank(int bank) {
  if (blindMode_) return false;
  if (bank != 0 && bank != 1) {
    Trace::print("Invalid bank number specified\n");
    return false;
  }
  if (!isBootcode()) {
    Trace::print("not in boot code, can't activate a bank\n");
    return false;
  }
  // Two steps per bank: 03 then 04 for bank 1, 02 then 05 for bank 0.
  if (bank == 1) {
    return activateStep("F0 00 2B 5E 42 03 F7", "F0 00 2B 5E 42 03 00 F7") &&
           activateStep("F0 00 2B 5E 42 04 F7", "F0 00 2B 5E 42 04 00 F7");
  }
  return activateStep("F0 00 2B 5E 42 02 F7", "F0 00 2B 5E 42 02 00 F7") &&
         activateStep("F0 00 2B 5E 42 05 F7", "F0 00 2B 5E 42 05 00 F7");
}

}  // namespace Updater
