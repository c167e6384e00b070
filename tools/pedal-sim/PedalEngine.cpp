#include "PedalEngine.h"

#include "Firmware.h"

namespace PedalSim {
namespace {

constexpr uint8_t kNak = 0x46;
// A programming session may not announce more than this much code; a garbled
// begin message must not make the pedal allocate gigabytes.
constexpr uint64_t kMaxImageBytes = 64ull << 20;
// Size a factory-fresh code region reports before anything was programmed.
constexpr uint32_t kFactoryCodeSize = 0x20000;

bool isIdentityRequest(const MidiBytes& m) {
  // F0 7E <device id> 06 01 F7
  return m.size() == 6 && m[0] == 0xF0 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01 && m[5] == 0xF7;
}

bool hasMakerHeader(const MidiBytes& m) {
  return m.size() >= 7 && m[0] == 0xF0 && m[1] == 0x00 && m[2] == 0x2B && m[3] == 0x5E && m.back() == 0xF7;
}

bool isFirmwareKind(uint8_t kind) {
  return kind == Fw::kBegin || kind == Fw::kBeginTwice || kind == Fw::kErase || kind == Fw::kData ||
         kind == Fw::kCheck;
}

std::string fidpidText(uint16_t code) { return HexString::make_hex_string(code >> 8, true) + HexString::make_hex_string(code & 0xFF, true); }

void putSizeNibbles(MidiBytes& m, uint32_t size) {
  for (int shift = 28; shift >= 0; shift -= 4) m.push_back(static_cast<uint8_t>((size >> shift) & 0x0F));
}

}  // namespace

MidiBytes Region::image() const {
  MidiBytes out;
  for (const MidiBytes& block : blocks) out.insert(out.end(), block.begin(), block.end());
  return out;
}

void Region::startSession(uint32_t count, uint32_t size, const VersionChars& v) {
  session = true;
  expected = count;
  blockSize = size;
  pending = v;
  blocks.assign(count, MidiBytes());
  present = 0;
}

PedalEngine::PedalEngine(PedalConfig config) : config_(std::move(config)) {
  random_ = config_.faults.seed;
  if (config_.type.isVentrix()) {
    activeBank_ = config_.bank == 1 ? 1 : 0;
    Region& bank = regions_[static_cast<size_t>(activeBank_)];
    bank.valid = config_.userValid;
    bank.version = config_.user.chars();
  } else {
    regions_[0].valid = config_.userValid;
    regions_[0].version = config_.user.chars();
    regions_[1].valid = config_.type.hasDsp();
    regions_[1].version = config_.dsp.chars();
  }
  mode_ = config_.mode;
  if (mode_ == Mode::User && !userCodeValid()) mode_ = Mode::Boot;
  present_ = mode_ != Mode::Dfu;
}

bool PedalEngine::userCodeValid() const {
  if (config_.type.isVentrix()) return regions_[0].valid || regions_[1].valid;
  return regions_[0].valid;
}

VersionChars PedalEngine::userVersion() const {
  return config_.type.isVentrix() ? regions_[static_cast<size_t>(activeBank_)].version : regions_[0].version;
}

uint8_t PedalEngine::currentPid() const {
  return mode_ == Mode::User ? config_.type.userPid() : config_.type.bootPid();
}

bool PedalEngine::hasPorts() const {
  if (vanished_) return false;
  if (config_.type.isVentrix()) return true;
  return present_ && mode_ != Mode::Dfu;
}

std::string PedalEngine::inPortName() const {
  const bool boot = mode_ == Mode::Boot && !config_.type.isVentrix();
  return (boot ? config_.type.bootPortName() : config_.type.userInPortName()) + config_.portSuffix;
}

std::string PedalEngine::outPortName() const {
  const bool boot = mode_ == Mode::Boot && !config_.type.isVentrix();
  return (boot ? config_.type.bootPortName() : config_.type.userOutPortName()) + config_.portSuffix;
}

std::optional<Millis> PedalEngine::nextDeadline() const {
  if (pending_ == Pending::None) return std::nullopt;
  return pendingAt_;
}

uint8_t PedalEngine::countFirmwareMessage() {
  ++firmwareMessages_;
  uint8_t status = Faults::Good;
  const auto refused = config_.faults.refuse.find(firmwareMessages_);
  if (refused != config_.faults.refuse.end()) {
    status = refused->second;
  } else if (config_.faults.refuseAll != Faults::Good) {
    status = config_.faults.refuseAll;
  }
  if (status != Faults::Good) {
    emit("refuse", Json().add("message", firmwareMessages_).add("status", static_cast<int>(status)));
  }
  return status;
}

void PedalEngine::emit(const std::string& kind, const Json& fields) const {
  if (observer_) observer_(kind, fields);
}

MidiBytes PedalEngine::header(uint8_t cmd) const {
  return {0xF0, 0x00, 0x2B, 0x5E, config_.type.family(), currentPid(), cmd};
}

double PedalEngine::nextShare() {
  uint64_t z = (random_ += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
}

void PedalEngine::setState(Mode mode, bool present, const char* why) {
  mode_ = mode;
  present_ = present;
  emit("state", Json()
                    .add("mode", modeName(mode_))
                    .add("answering", answering())
                    .add("ports", hasPorts())
                    .add("fidpid", fidpidText(currentFidpid()))
                    .add("why", why));
}

Mode PedalEngine::settle(Mode wanted) {
  if (wanted != Mode::User) return wanted;
  if (config_.type.isVentrix()) {
    const auto active = static_cast<size_t>(activeBank_);
    if (!regions_[active].valid && regions_[1 - active].valid) {
      activeBank_ = 1 - activeBank_;
      emit("flash", Json().add("bank", activeBank_).add("why", "active bank invalid, starts the other bank"));
    }
  }
  return userCodeValid() ? Mode::User : Mode::Boot;
}

MidiBytes PedalEngine::identityReply() const {
  // F0 7E <id> 06 02 <00 2B 5E> <fid 00> <pid 00> <beta major tens units> F7
  const VersionChars c = mode_ == Mode::Boot ? config_.boot.chars() : userVersion();
  return {0xF0, 0x7E, config_.deviceId, 0x06, 0x02, 0x00, 0x2B, 0x5E, config_.type.family(), 0x00,
          currentPid(), 0x00, c[3], c[2], c[1], c[0], 0xF7};
}

void PedalEngine::receive(const MidiBytes& in, Millis now, std::vector<Reply>& out) {
  if (!answering()) {
    emit("ignored", Json().addHex("data", in).add("why", vanished_ ? "vanished" : "restarting"));
    return;
  }
  ++messagesIn_;
  emit("in", Json().addHex("data", in));
  std::vector<Out> raw;
  dispatch(in, now, raw);
  finish(raw, out);
  if (config_.faults.vanishAfter > 0 && messagesIn_ >= config_.faults.vanishAfter) {
    vanished_ = true;
    pending_ = Pending::None;
    setState(mode_, false, "vanished (fault)");
  }
}

void PedalEngine::finish(std::vector<Out>& raw, std::vector<Reply>& out) {
  for (Out& r : raw) {
    if (r.ack && config_.faults.dropAcks > 0.0 && nextShare() < config_.faults.dropAcks) {
      ++acksDropped_;
      emit("drop", Json().addHex("data", r.bytes));
      continue;
    }
    if (config_.faults.garbage > 0.0 && nextShare() < config_.faults.garbage) {
      const MidiBytes original = r.bytes;
      for (size_t i = 1; i + 1 < r.bytes.size(); ++i) r.bytes[i] = static_cast<uint8_t>(nextShare() * 128.0);
      emit("garbage", Json().addHex("instead_of", original).addHex("data", r.bytes));
    }
    const Millis delay = config_.faults.delayMs;
    emit("out", Json().addHex("data", r.bytes).add("delay_ms", static_cast<int64_t>(delay)));
    out.push_back(Reply{std::move(r.bytes), delay});
  }
}

void PedalEngine::advance(Millis now, std::vector<Reply>& out) {
  std::vector<Out> raw;
  while (pending_ != Pending::None && pendingAt_ <= now) {
    const Pending what = pending_;
    const Millis at = pendingAt_;
    pending_ = Pending::None;
    switch (what) {
      case Pending::Restart: {
        const Mode m = settle(pendingMode_);
        setState(m, m != Mode::Dfu, "restarted");
        break;
      }
      case Pending::WindowOpen:
        inWindow_ = true;
        setState(Mode::Boot, true, "boot code waits for enable-recovery");
        pending_ = Pending::WindowClose;
        pendingAt_ = at + config_.windowMs;
        break;
      case Pending::WindowClose:
        inWindow_ = false;
        setState(settle(Mode::User), true, "no enable-recovery in time");
        break;
      case Pending::ExitBoot:
        setState(settle(Mode::User), true, "left boot code");
        raw.push_back({identityReply(), false});
        break;
      case Pending::None:
        break;
    }
  }
  finish(raw, out);
}

void PedalEngine::leaveDfu(Millis now) {
  (void)now;
  if (mode_ != Mode::Dfu || vanished_) return;
  setState(settle(Mode::User), true, "left the DFU loader");
}

void PedalEngine::reset(Millis delayMs, Millis now) {
  ++restarts_;
  if (config_.faults.noReturn) {
    vanished_ = true;
    pending_ = Pending::None;
    setState(mode_, false, "reset, never comes back (fault)");
    return;
  }
  if (config_.type.isVentrix()) {
    // Restarts into its boot code, which briefly listens for enable-recovery.
    pending_ = Pending::WindowOpen;
    pendingAt_ = now + delayMs + config_.restartMs;
    inWindow_ = false;
    setState(mode_, false, "private reset");
    return;
  }
  pending_ = Pending::Restart;
  pendingAt_ = now + (delayMs > 0 ? delayMs : config_.restartMs);
  pendingMode_ = selectionMade_ ? selected_ : Mode::User;
  selectionMade_ = false;
  setState(mode_, false, "reset");
}

void PedalEngine::dispatch(const MidiBytes& in, Millis now, std::vector<Out>& out) {
  if (isIdentityRequest(in)) {
    if (!inWindow_ && (in[2] == 0x7F || in[2] == config_.deviceId)) out.push_back({identityReply(), false});
    return;
  }
  if (!hasMakerHeader(in)) {
    emit("unhandled", Json().add("why", "not a message of this maker"));
    return;
  }
  if (config_.type.isVentrix() && in[4] == 0x42) {
    bootControl(in, now, out);
    return;
  }
  if (inWindow_) return;  // the waiting boot code hears nothing but enable-recovery
  if (in[4] == config_.type.family() && in.size() >= 8) addressed(in, now, out);
}

void PedalEngine::addressed(const MidiBytes& in, Millis now, std::vector<Out>& out) {
  const size_t n = in.size();
  const uint8_t pid = in[5];
  const uint8_t cmd = in[6];
  const TypeTraits& t = config_.type;

  if ((cmd == Fw::kUserCode || cmd == Fw::kDspCode) && n >= 9 && isFirmwareKind(in[7]) && !t.isVentrix()) {
    // Files carry the user product byte, or that byte | 0x40 when they are
    // written from boot code. Boot code takes both; user code takes only its
    // own, unless the pedal is programmed while its user code runs.
    const bool forThisPedal = (pid & 0x0F) == (t.userPid() & 0x0F);
    const bool takes = mode_ == Mode::Boot || t.programsInUserCode() || pid == t.userPid();
    if (!forThisPedal || !takes) {
      emit("unhandled", Json().add("why", "firmware message not taken in this mode"));
      return;
    }
    uint8_t status = countFirmwareMessage();  // not Good: refused by a fault switch
    if (status == Faults::Good) {
      if (cmd == Fw::kDspCode && !t.hasDsp()) {
        status = Faults::Bad;
      } else {
        status = firmware(in, 7, 8, regions_[cmd == Fw::kUserCode ? 0 : 1], cmd == Fw::kUserCode ? "user" : "dsp");
      }
    }
    MidiBytes ack = header(cmd);
    if (t.ackStyle() == AckStyle::B) ack.push_back(0x0C);
    ack.push_back(status);
    ack.push_back(0xF7);
    out.push_back({std::move(ack), true});
    return;
  }

  if (pid != currentPid()) return;  // another pedal's, or another mode's
  MidiBytes r = header(cmd);
  switch (cmd) {
    case 0x21:  // serial number: F0 00 2B 5E ff pp 21 00 <7 bytes> F7
      if (n != 8) break;
      r.push_back(0x00);
      r.insert(r.end(), config_.esn.begin(), config_.esn.end());
      r.push_back(0xF7);
      out.push_back({std::move(r), false});
      return;
    case 0x2E: {  // user code version: <09 beta | 00> <major tens units as values>, or 46
      if (n != 8) break;
      if (!userCodeValid()) {
        r.push_back(kNak);
      } else {
        const VersionChars c = userVersion();
        r.push_back(c[3] == '9' ? 0x09 : 0x00);
        r.push_back(static_cast<uint8_t>((c[2] - '0') & 0x7F));
        r.push_back(static_cast<uint8_t>((c[1] - '0') & 0x7F));
        r.push_back(static_cast<uint8_t>((c[0] - '0') & 0x7F));
      }
      r.push_back(0xF7);
      out.push_back({std::move(r), false});
      return;
    }
    case 0x2F:  // owner of the running code: 00 fid 00 pid (user product)
      if (n != 8) break;
      r.insert(r.end(), {0x00, t.family(), 0x00, t.userPid(), 0xF7});
      out.push_back({std::move(r), false});
      return;
    case 0x32: {  // boot code version: <39 beta | 30> major <minor high, low>
      if (n != 8) break;
      const Version& b = config_.boot;
      r.insert(r.end(), {static_cast<uint8_t>(b.beta ? 0x39 : 0x30), static_cast<uint8_t>(b.major), 0x00,
                         static_cast<uint8_t>(b.minor), 0xF7});
      out.push_back({std::move(r), false});
      return;
    }
    case 0x1C: {  // loader selection for the next reset; no reply
      if (n != 9 || t.isVentrix()) break;
      if (config_.faults.ignoreLoader) {
        emit("ignored", Json().addHex("data", in).add("why", "loader selection ignored (fault)"));
        return;
      }
      const uint8_t v = in[7];
      if (v == 0x00 || v == 0x03) {
        selected_ = Mode::User;
      } else if (v == 0x01) {
        selected_ = Mode::Dfu;
      } else if (v == 0x02) {
        selected_ = Mode::Boot;
      } else {
        break;
      }
      selectionMade_ = true;
      emit("select", Json().add("next", modeName(selected_)));
      return;
    }
    case 0x1B:  // reset: F0 00 2B 5E ff pp 1B [hi lo] F7, delay hi * 128 + lo ms
      if (n == 10) {
        reset(static_cast<Millis>(in[7] & 0x7F) * 128 + (in[8] & 0x7F), now);
        return;
      }
      if (n == 8) {
        reset(0, now);
        return;
      }
      break;
    case 0x42: {  // code bank information: 42 0b <version x4> <size x8 nibbles> <state> F7
      if (n != 9 || (in[7] != 0x08 && in[7] != 0x09) || t.isVentrix()) break;
      r.push_back(in[7]);
      const Region& dsp = regions_[1];
      if (in[7] == 0x08 && t.hasDsp() && dsp.valid) {
        // The updater reads bytes 8-11 as flag, major, tens, units; firmware
        // files carry the same characters the other way round.
        r.insert(r.end(), dsp.version.rbegin(), dsp.version.rend());
        putSizeNibbles(r, dsp.programmed ? dsp.expected * dsp.blockSize : kFactoryCodeSize);
        r.push_back(0x01);
      } else {
        r.push_back(0x02);
      }
      r.push_back(0xF7);
      out.push_back({std::move(r), false});
      return;
    }
    default:
      break;
  }
  emit("unhandled", Json().add("why", "unknown or malformed request"));
}

void PedalEngine::bootControl(const MidiBytes& in, Millis now, std::vector<Out>& out) {
  const size_t n = in.size();
  const uint8_t sub = in[5];
  auto reply = [&out](std::initializer_list<uint8_t> body, bool ack = false) {
    MidiBytes r{0xF0, 0x00, 0x2B, 0x5E, 0x42};
    r.insert(r.end(), body);
    r.push_back(0xF7);
    out.push_back({std::move(r), ack});
  };

  if (inWindow_) {
    if (sub != 0x11 || n != 7) return;
    if (config_.faults.ignoreLoader) {
      emit("ignored", Json().addHex("data", in).add("why", "enable-recovery ignored (fault)"));
      return;
    }
    inWindow_ = false;
    pending_ = Pending::None;
    setState(Mode::Boot, true, "enable-recovery");
    reply({0x11, 0x00});
    return;
  }
  if (mode_ != Mode::Boot) return;  // user code does not speak the boot-control protocol

  switch (sub) {
    case 0x11:
      if (n == 7) return reply({0x11, 0x00});
      break;
    case 0x08:
    case 0x09: {  // 42 0b <version x4> <size x8 nibbles> <01 active | 00> F7, or 42 0b 02 F7
      if (n != 7) break;
      const int bank = sub - 0x08;
      const Region& r = regions_[static_cast<size_t>(bank)];
      MidiBytes m{0xF0, 0x00, 0x2B, 0x5E, 0x42, sub};
      if (r.valid) {
        m.insert(m.end(), r.version.begin(), r.version.end());
        putSizeNibbles(m, r.programmed ? r.expected * r.blockSize : kFactoryCodeSize);
        m.push_back(bank == activeBank_ ? 0x01 : 0x00);
      } else {
        m.push_back(0x02);
      }
      m.push_back(0xF7);
      out.push_back({std::move(m), false});
      return;
    }
    case 0x0D: {  // raw read of the product id: ... 08 <pid high nibble> <pid low nibble> 00 00 F7
      static const MidiBytes kRead{0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x0D, 0x02, 0x00, 0x0F, 0x0F, 0x0F, 0x0F, 0x08, 0xF7};
      if (in != kRead) break;
      MidiBytes m(kRead.begin(), kRead.end() - 1);
      const uint8_t pid = config_.type.userPid();
      m.insert(m.end(), {static_cast<uint8_t>(pid >> 4), static_cast<uint8_t>(pid & 0x0F), 0x00, 0x00, 0xF7});
      out.push_back({std::move(m), false});
      return;
    }
    case 0x02:  // first step of activating bank 0 (02, then 05) or bank 1 (03, then 04)
    case 0x03:
      if (n != 7) break;
      armed_[sub == 0x02 ? 0 : 1] = true;
      return reply({sub, 0x00});
    case 0x05:
    case 0x04: {
      if (n != 7) break;
      const size_t bank = sub == 0x05 ? 0 : 1;
      uint8_t status = 0x00;
      if (!armed_[bank]) {
        status = 0x01;
      } else if (!regions_[bank].valid) {
        status = 0x02;
      } else {
        activeBank_ = static_cast<int>(bank);
        emit("flash", Json().add("bank", activeBank_).add("why", "bank activated"));
      }
      armed_[bank] = false;
      return reply({sub, status});
    }
    case 0x01:  // leave boot code; the identity reply follows the restart
      if (n != 7) break;
      ++restarts_;
      pending_ = Pending::ExitBoot;
      pendingAt_ = now + config_.restartMs;
      setState(mode_, false, "exit boot code");
      return;
    case 0x0C: {  // firmware: 42 0C <kind> <bank> <op> ...
      if (n < 10) break;
      const uint8_t bank = in[7];
      uint8_t status = countFirmwareMessage();  // not Good: refused by a fault switch
      if (status == Faults::Good) {
        if (in[8] != Fw::kVentrixWrite || bank > 1) {
          emit("unhandled", Json().add("why", "firmware message without the write operation or with a bad bank"));
          status = Faults::Bad;
        } else {
          status = firmware(in, 6, 9, regions_[bank], bank == 0 ? "bank0" : "bank1");
          if (status == Faults::Good && in[6] == Fw::kCheck) activeBank_ = bank;
        }
      }
      return reply({0x0C, status}, true);
    }
    default:
      break;
  }
  emit("unhandled", Json().add("why", "unknown or malformed boot-control request"));
}

uint8_t PedalEngine::firmware(const MidiBytes& in, size_t kindAt, size_t bodyAt, Region& region,
                              const char* name) {
  const size_t n = in.size();
  const uint8_t* body = in.data() + bodyAt;
  auto bad = [&](const char* why) {
    emit("flash", Json().add("region", name).add("rejected", why));
    return static_cast<uint8_t>(Faults::Bad);
  };
  switch (in[kindAt]) {
    case Fw::kBegin:
    case Fw::kBeginTwice: {  // s1 s0 00 v0..v3 n2 n1 n0
      if (n != bodyAt + Fw::kBeginBody + 1) return bad("begin message of the wrong length");
      const uint32_t size = static_cast<uint32_t>(body[0] & 0x7F) << 7 | (body[1] & 0x7F);
      const uint32_t count = Fw::get21(body + 7);
      if (size == 0 || count == 0 || static_cast<uint64_t>(size) * count > kMaxImageBytes) {
        return bad("begin announces no code or too much");
      }
      region.startSession(count, size, {body[3], body[4], body[5], body[6]});
      emit("flash", Json()
                        .add("region", name)
                        .add("begin", static_cast<uint64_t>(count))
                        .add("block_size", static_cast<uint64_t>(size))
                        .add("version", versionText(region.pending)));
      return Faults::Good;
    }
    case Fw::kErase:
      if (n != bodyAt + 1) return bad("erase message of the wrong length");
      region.valid = false;
      if (region.session) region.startSession(region.expected, region.blockSize, region.pending);
      emit("flash", Json().add("region", name).add("erased", true));
      return Faults::Good;
    case Fw::kData: {  // i2 i1 i0 <payload> k
      if (!region.session) return bad("data before begin");
      if (n < bodyAt + 3 + 1 + 1) return bad("data message too short");
      unsigned sum = 0;
      for (size_t i = bodyAt; i + 1 < n; ++i) sum += in[i];
      if ((sum & 0x7F) != 0) return bad("checksum mismatch");
      const uint32_t index = Fw::get21(body);
      const size_t payload = n - bodyAt - 3 - 2;
      if (index >= region.expected) return bad("block index beyond the announced count");
      if (payload != region.blockSize) return bad("payload size differs from the announced one");
      if (region.valid) {
        region.valid = false;
        emit("flash", Json().add("region", name).add("valid", false).add("why", "code being overwritten"));
      }
      MidiBytes& block = region.blocks[index];
      if (block.empty()) ++region.present;
      block.assign(in.begin() + static_cast<std::ptrdiff_t>(bodyAt + 3), in.end() - 2);
      ++region.blocksWritten;
      region.programmed = true;
      return Faults::Good;
    }
    case Fw::kCheck: {  // r0..r7 n2 n1 n0 00 v0..v3
      if (n != bodyAt + Fw::kCheckBody + 1) return bad("check message of the wrong length");
      uint32_t crc = 0;
      for (size_t i = 0; i < 8; ++i) crc = crc << 4 | (body[i] & 0x0F);
      const uint32_t count = Fw::get21(body + 8);
      const VersionChars version{body[12], body[13], body[14], body[15]};
      const char* why = nullptr;
      if (!region.session) {
        why = "no programming session";
      } else if (count != region.expected) {
        why = "block count differs from the begin message";
      } else if (region.present != region.expected) {
        why = "blocks missing";
      } else if (version != region.pending) {
        why = "version differs from the begin message";
      } else if (crc != Fw::crc32(region.image())) {
        why = "image checksum mismatch";
      }
      if (why) {
        emit("flash", Json()
                          .add("region", name)
                          .add("check", "failed")
                          .add("why", why)
                          .add("blocks", static_cast<uint64_t>(region.present))
                          .add("expected", static_cast<uint64_t>(region.expected)));
        return Faults::Failed;
      }
      region.valid = true;
      region.version = version;
      region.session = false;
      emit("flash", Json()
                        .add("region", name)
                        .add("check", "ok")
                        .add("valid", true)
                        .add("version", versionText(version))
                        .add("sha256", Fw::sha256Hex(region.image())));
      return Faults::Good;
    }
    default:
      return bad("unknown firmware message");
  }
}

Json PedalEngine::summary() const {
  const TypeTraits& t = config_.type;
  Json j;
  j.add("label", config_.label)
      .add("type", t.name())
      .add("fidpid", fidpidText(t.fidpid))
      .add("current_fidpid", fidpidText(currentFidpid()))
      .addHex("esn", config_.esn)
      .add("mode", modeName(mode_))
      .add("answering", answering())
      .add("vanished", vanished_)
      .add("user_valid", userCodeValid())
      .add("user_version", versionText(userVersion()))
      .add("boot_version", config_.boot.toString())
      .add("messages_in", messagesIn_)
      .add("firmware_messages", firmwareMessages_)
      .add("acks_dropped", acksDropped_);
  if (t.isVentrix()) j.add("active_bank", activeBank_);
  if (t.hasDsp()) j.add("dsp_valid", regions_[1].valid).add("dsp_version", versionText(regions_[1].version));
  for (size_t i = 0; i < regions_.size(); ++i) {
    const Region& r = regions_[i];
    const std::string p = t.isVentrix() ? (i == 0 ? "bank0_" : "bank1_") : (i == 0 ? "user_" : "dsp_");
    j.add(p + "blocks", static_cast<uint64_t>(r.present))
        .add(p + "blocks_expected", static_cast<uint64_t>(r.expected))
        .add(p + "blocks_written", r.blocksWritten)
        .add(p + "sha256", r.programmed ? Fw::sha256Hex(r.image()) : std::string());
  }
  return j;
}

}  // namespace PedalSim
