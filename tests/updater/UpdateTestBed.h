#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FakeConnection.h"
#include "Firmware.h"
#include "PedalConfig.h"
#include "SimHost.h"
#include "ScannerTestBed.h"
#include "Updater/DeviceScanner.h"

// Updates end to end: simulated pedals on the test JACK server (locked by its
// fixture, so the scanner, which probes every port, sees only these pedals),
// the real scanner, synthetic firmware.
namespace updater_test {

class UpdateTestBed : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Pedals as on the simulator's command line; the scanner starts with them.
  void startPedals(const std::vector<std::string>& pedals);

  // Synthetic firmware for pedal `index`'s type, written into the test's
  // folder; returns the path.
  std::string firmware(int index, const std::string& version, bool dsp = false, uint32_t blocks = 12,
                       bool twice = false);
  std::string firmwareFor(const std::string& type, const std::string& version, uint32_t blocks = 12);

  // The ESN the scanner reports for pedal `index` (its serial number as text).
  std::vector<uint8_t> esn(int index);
  std::string esnString(int index);
  // Waits until the scanner lists pedal `index`.
  bool waitListed(int index);

  std::string userVersion(int index);
  PedalSim::Mode mode(int index);
  uint64_t acksDropped(int index);
  uint64_t firmwareMessages(int index);
  // Runs fn on the pedal with the simulator held off.
  void withPedal(int index, const std::function<void(PedalSim::PedalEngine&)>& fn);
  // The simulator's event lines of one kind ("flash", "in", ...) for a pedal.
  std::vector<std::string> events(int index, const std::string& kind);

  velorin::test::TempDir dir;

 private:
  std::vector<PedalSim::PedalConfig> configs_;
  std::unique_ptr<PedalSim::SimHost> host_;
  std::unique_ptr<scanner_test::TraceTail> trace_;
  std::mutex mutex_;
  std::vector<std::string> events_;  // guarded by mutex_
};

}  // namespace updater_test
