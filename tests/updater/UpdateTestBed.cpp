#include "UpdateTestBed.h"

#include <chrono>

#include "JackServer.h"
#include "Transport.h"
#include "Updater/plugins/Ventrix/HexUtil.h"

namespace updater_test {

void UpdateTestBed::SetUp() {
  std::string error;
  ASSERT_TRUE(velorin::test::useJackServer(&error)) << error;
  trace_ = std::make_unique<scanner_test::TraceTail>();
}

void UpdateTestBed::TearDown() {
  Updater::DeviceScanner::Instance()->killDemon();
  Updater::DeviceScanner::Instance()->reset();
  if (host_) host_->stop();
  host_.reset();
  if (HasFailure() && trace_) trace_->dump();
  trace_.reset();
}

void UpdateTestBed::startPedals(const std::vector<std::string>& pedals) {
  configs_.clear();
  for (size_t i = 0; i < pedals.size(); ++i) {
    PedalSim::PedalConfig config;
    std::string why;
    ASSERT_TRUE(PedalSim::parsePedal(pedals[i], static_cast<int>(i), config, why)) << pedals[i] << ": " << why;
    configs_.push_back(config);
  }
  host_ = std::make_unique<PedalSim::SimHost>(configs_, PedalSim::makeMidiTransport(),
                                              [this](const std::string& line) {
                                                std::lock_guard<std::mutex> guard(mutex_);
                                                events_.push_back(line);
                                              });
  std::string error;
  ASSERT_TRUE(host_->start(&error)) << error;
  Updater::DeviceScanner::Instance()->reset();
  Updater::DeviceScanner::Instance()->startDemon();
}

std::string UpdateTestBed::firmware(int index, const std::string& version, bool dsp, uint32_t blocks,
                                    bool twice) {
  PedalSim::Fw::FirmwareSpec spec;
  spec.type = configs_.at(static_cast<size_t>(index)).type;
  EXPECT_TRUE(PedalSim::Version::parse(version, spec.version)) << version;
  spec.dsp = dsp;
  spec.fromBoot = !spec.type.programsInUserCode();
  spec.blocks = blocks;
  spec.twice = twice;
  EXPECT_EQ(PedalSim::Fw::check(spec), "");
  const PedalSim::Fw::Firmware fw = PedalSim::Fw::build(spec);
  const std::string path = dir.path() + "/" + fw.fileName;
  std::string error;
  EXPECT_TRUE(PedalSim::Fw::writeFile(path, fw.messages, &error)) << error;
  return path;
}

std::string UpdateTestBed::firmwareFor(const std::string& type, const std::string& version, uint32_t blocks) {
  PedalSim::Fw::FirmwareSpec spec;
  EXPECT_TRUE(PedalSim::findType(type, spec.type)) << type;
  EXPECT_TRUE(PedalSim::Version::parse(version, spec.version));
  spec.fromBoot = !spec.type.programsInUserCode();
  spec.blocks = blocks;
  const PedalSim::Fw::Firmware fw = PedalSim::Fw::build(spec);
  const std::string path = dir.path() + "/" + fw.fileName;
  std::string error;
  EXPECT_TRUE(PedalSim::Fw::writeFile(path, fw.messages, &error)) << error;
  return path;
}

std::string UpdateTestBed::esnString(int index) {
  const MidiBytes& serial = configs_.at(static_cast<size_t>(index)).esn;
  return HexString::make_hex_string(serial.begin(), serial.end(), true, false);
}

std::vector<uint8_t> UpdateTestBed::esn(int index) {
  const std::string text = esnString(index);
  return {text.begin(), text.end()};
}

bool UpdateTestBed::waitListed(int index) {
  const std::string text = esnString(index);
  return scanner_test::waitUntil(
      [&] { return scanner_test::findIn(Updater::DeviceScanner::Instance()->doScan(1), text) != nullptr; },
      std::chrono::seconds(20));
}

std::string UpdateTestBed::userVersion(int index) {
  std::string out;
  withPedal(index, [&](PedalSim::PedalEngine& e) { out = PedalSim::Version::fromChars(e.userVersion()).toString(); });
  return out;
}

PedalSim::Mode UpdateTestBed::mode(int index) {
  PedalSim::Mode out = PedalSim::Mode::User;
  withPedal(index, [&](PedalSim::PedalEngine& e) { out = e.mode(); });
  return out;
}

uint64_t UpdateTestBed::acksDropped(int index) {
  uint64_t out = 0;
  withPedal(index, [&](PedalSim::PedalEngine& e) { out = e.acksDropped(); });
  return out;
}

uint64_t UpdateTestBed::firmwareMessages(int index) {
  uint64_t out = 0;
  withPedal(index, [&](PedalSim::PedalEngine& e) { out = e.firmwareMessages(); });
  return out;
}

void UpdateTestBed::withPedal(int index, const std::function<void(PedalSim::PedalEngine&)>& fn) {
  host_->withPedal(index, fn);
  host_->wake();
}

std::vector<std::string> UpdateTestBed::events(int index, const std::string& kind) {
  const std::string pedal = "\"pedal\":" + std::to_string(index) + ",";
  const std::string event = "\"event\":\"" + kind + "\"";
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> out;
  for (const std::string& line : events_)
    if (line.find(pedal) != std::string::npos && line.find(event) != std::string::npos) out.push_back(line);
  return out;
}

}  // namespace updater_test
