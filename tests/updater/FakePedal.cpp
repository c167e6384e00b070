#include "FakePedal.h"

namespace velorin::test {

FakePedal::FakePedal(uint8_t fid, uint8_t userPid, bool boot)
    : inBoot(boot), fid_(fid), userPid_(userPid) {}

std::shared_ptr<Updater::DeviceInfo> FakePedal::record() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!present) return nullptr;
  auto connection = std::make_shared<FakeConnection>();
  connection->setResponder([this](const MidiBytes& request) { return respond(request); });
  auto device = std::make_shared<Updater::DeviceInfo>(connection);
  device->fid = fid_;
  device->pid = fid_ == 0x12 ? userPid_ : pid();
  device->esn = esn;
  device->present = true;
  device->deviceInterface = Updater::getDeviceInterfaceFromFidPid(fid_ << 8 | device->pid);
  return device;
}

std::vector<MidiBytes> FakePedal::received() {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

std::vector<MidiBytes> FakePedal::firmwareReceived() {
  std::vector<MidiBytes> out;
  for (const MidiBytes& m : received()) {
    const bool ventrix = m.size() > 8 && m[4] == 0x42 && m[5] == 0x0C;
    const bool other = m.size() > 7 && m[6] == 0x43;
    if (ventrix || other) out.push_back(m);
  }
  return out;
}

std::vector<MidiBytes> FakePedal::respond(const MidiBytes& request) {
  int firmwareNumber = 0;
  std::vector<MidiBytes> replies;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!present) return {};
    received_.push_back(request);
    if (fid_ == 0x12) {
      replies = respondVentrix(request);
      if (request.size() > 8 && request[4] == 0x42 && request[5] == 0x0C) firmwareNumber = firmwareCount_;
    } else if (request.size() > 7 && request[6] == 0x1C) {
      selected_ = request[7];
    } else if (request.size() > 7 && request[6] == 0x1B) {
      if (!ignoreLoader) inBoot = selected_ == 0x02;
      selected_ = 0x00;
      if (vanishAfterReset) present = false;
    } else if (request.size() > 7 && request[6] == 0x43) {
      firmwareNumber = ++firmwareCount_;
      const int status = ackStatus(firmwareNumber);
      if (status >= 0) replies.push_back(ackFor(request, static_cast<uint8_t>(status)));
    }
  }
  if (firmwareNumber > 0 && onFirmware) onFirmware(firmwareNumber);
  return replies;
}

std::vector<MidiBytes> FakePedal::respondVentrix(const MidiBytes& request) {
  const MidiBytes identity{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x2B, 0x5E, 0x12,
                           0x00, userPid_, 0x00, 0x00, 0x31, 0x30, 0x30, 0xF7};
  if (request == hex("F0 7E 7F 06 01 F7")) return {identity};
  if (request == hex("F0 00 2B 5E 42 08 F7")) {
    if (!inBoot) return {};
    return {hex("F0 00 2B 5E 42 08 30 31 30 30 00 00 01 00 00 00 00 00 01 F7")};
  }
  if (request == MidiBytes{0xF0, 0x00, 0x2B, 0x5E, 0x12, userPid_, 0x1B, 0xF7}) {
    recoveryWindow_ = true;
    return {};
  }
  if (request == hex("F0 00 2B 5E 42 11 F7")) {
    if (!recoveryWindow_) return {};
    recoveryWindow_ = false;
    inBoot = true;
    return {hex("F0 00 2B 5E 42 11 00 F7")};
  }
  if (request == hex("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08 F7")) {
    if (!inBoot) return {};
    MidiBytes reply = hex("F0 00 2B 5E 42 0D 02 00 0F 0F 0F 0F 08");
    reply.push_back(static_cast<uint8_t>(userPid_ >> 4));
    reply.push_back(static_cast<uint8_t>(userPid_ & 0x0F));
    reply.insert(reply.end(), {0x00, 0x00, 0xF7});
    return {reply};
  }
  if (request.size() > 8 && request[4] == 0x42 && request[5] == 0x0C) {
    if (!inBoot) return {};
    const int status = ackStatus(++firmwareCount_);
    if (status < 0) return {};
    return {MidiBytes{0xF0, 0x00, 0x2B, 0x5E, 0x42, 0x0C, static_cast<uint8_t>(status), 0xF7}};
  }
  if (request == hex("F0 00 2B 5E 42 01 F7")) {
    if (!exitAnswers) return {};
    inBoot = false;
    return {identity};
  }
  return {};
}

std::shared_ptr<Updater::DeviceInfo> PedalController::findDeviceByESN(const std::vector<uint8_t>& esn) {
  events.push_back("find");
  if (beforeFind) beforeFind(++searches_);
  auto device = pedal_.record();
  if (device && device->esn != esn) return nullptr;
  return device;
}

}  // namespace velorin::test
