#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Updater/Connection.h"
#include "Updater/plugins/Ventrix/VxMidiData.h"

namespace Updater {

// Family and product of a pedal as its identity reply gives them:
//   F0 7E <id> 06 02 00 2B 5E <fam lo> <fam hi> <model lo> <model hi> <ver x4> F7
class VxIdentiyInfo {
 public:
  VxIdentiyInfo() = default;
  explicit VxIdentiyInfo(const VxMidiData& reply) { fromIdentData(reply); }

  // fid = byte 8, pid = byte 10. A reply too short to hold both changes
  // nothing and gives false.
  bool fromIdentData(const VxMidiData& reply);

  int getShortFidpid() const { return fid * 256 + pid; }
  int getFidpid() const { return fid * 65536 + pid; }
  bool isEmpty() const { return fid == 0 || pid == 0; }
  void clear() {
    fid = 0;
    pid = 0;
  }

  std::string text;  // no operation fills it
  int32_t fid = 0;
  int32_t pid = 0;
  int32_t reserved = 0;  // carried along with the record, never read
};

// One code bank as the bank information request reports it:
//   F0 00 2B 5E 42 <08|09> <ver x4> <size nibbles x8> <state> F7   20 bytes
//   F0 00 2B 5E 42 <08|09> 02 F7                                  no valid code
// The size nibbles sit in the low four bits, most significant first; state
// 01 means the bank is the active one.
class VxCodeBankInfo {
 public:
  void init(const VxMidiData& reply);
  void clear();
  bool isOk() const { return codeSize != -1; }

  bool present = false;
  int32_t codeSize = -1;  // -1 when no size was read
  std::string codeVersion;
  bool active = false;
};

class VxBootCodeInfo {
 public:
  void setVersion(const std::string& version) { versionText = version; }
  // Index 0 sets bank 0; any other index bank 1.
  void setBank(int index, const VxCodeBankInfo& bank);
  bool isOk() const { return bank1.isOk() || bank0.isOk(); }

  VxCodeBankInfo bank0;
  VxCodeBankInfo bank1;
  std::string versionText;
};

// The boot-control protocol of the family 0x12 pedals over one connection.
// Their boot code's messages carry no family or product bytes: after the
// manufacturer id comes the command byte 42 and a sub-command. Every call
// blocks the calling thread; one thread uses a control at a time.
class VxBootControl {
 public:
  static const char* const kPrivateResetPartial;
  static const char* const kFUGood;
  static const char* const kFUBad;
  static const char* const kFUFailed;
  static const char* const kFUResponcePattern;

  // Time-outs in milliseconds.
  static constexpr int kIdentityTimeoutMs = 3000;
  static constexpr int kProbeTimeoutMs = 400;       // boot code probe, product check
  static constexpr int kRecoveryTimeoutMs = 300;    // one enable-recovery attempt
  static constexpr int kRecoveryPauseMs = 20;
  static constexpr int kRecoveryAttempts = 40;      // the pedal restarts meanwhile
  static constexpr int kResetSettleMs = 50;
  static constexpr int kAbandonExitTimeoutMs = 2000;
  static constexpr int kBankInfoTimeoutMs = 500;
  static constexpr int kActivateTimeoutMs = 1000;   // per step
  static constexpr int kExitBootTimeoutMs = 4000;

  VxBootControl(std::shared_ptr<Connection> connection, const VxIdentiyInfo& identity);

  // Asks for the identity. With a stored identity, out receives the reply's.
  bool identify(VxIdentiyInfo& out);
  // F0 00 2B 5E <fid> <pid> 1B F7 with the stored identity; empty when the
  // pedal does not answer the identity request.
  VxMidiData makePrivateResetCmd();
  bool isBootcode();
  // Restarts the pedal into its boot code unless it runs it already.
  bool enableBootcode();
  // value: the expected product id spread over two nibbles,
  // ((pid & 0xF0) << 4) | (pid & 0x0F).
  bool checkPid(int value);
  // Writes one firmware message; its byte 8 becomes 03 (write). A message of
  // fewer than 9 bytes is refused without sending anything.
  bool writeFirmwareUpdateMsg(VxMidiData& msg, int timeoutMs);
  // Starts the user code. With out, the identity reply fills it.
  bool exitBoot(VxIdentiyInfo* out = nullptr);
  bool privateReset();
  bool writeMidi(const VxMidiData& msg);
  bool getBootCodeInfo(VxBootCodeInfo& info);
  std::string getBankInfoString();
  bool activateBank(int bank);
  // Kept for the update procedure's retry step; there is nothing to change
  // on our side of the connection.
  void setMidiOutSafeMode() {}
  bool isBlindMode() const { return blindMode_; }

  // Replaces the pause between steps (tests count instead of waiting).
  void setSleepFunction(std::function<void(int)> sleeper) { sleep_ = std::move(sleeper); }

 private:
  bool sendAndWait(const VxMidiData& request, const std::shared_ptr<VxMidiTrigger>& trigger,
                   int timeoutMs);
  bool sendAndWaitPlain(const VxMidiData& request, int timeoutMs);
  bool sendFree(const VxMidiData& request);
  bool readBank(const char* request, VxCodeBankInfo& bank);
  bool activateStep(const char* request, const char* reply);
  void sleepMs(int ms);

  std::shared_ptr<Connection> connection_;
  bool blindMode_ = false;
  std::string unused_;
  VxIdentiyInfo identity_;
  std::function<void(int)> sleep_;
};

// Trigger-pattern comparison of a whole message: ".." any byte, "0[89]" a
// nibble class, and the message must be exactly as long as the pattern.
bool matchesPattern(const VxMidiData& message, const std::string& patternText);

}  // namespace Updater
