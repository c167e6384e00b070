#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PedalConfig.h"
#include "SimHost.h"
#include "Updater/DeviceScanner.h"

// What the scanner tests share: simulated pedals on the test JACK server
// (the scanner tests hold the server's resource lock, so no other test's
// ports come and go under a scanner that probes every port), and the core's
// trace kept in memory and shown only when a test fails.
namespace scanner_test {

// Simulated pedals on virtual ports, described as on the simulator's command
// line ("type=Kesmet esn=01020304050607 version=1.25").
class SimPedals {
 public:
  ~SimPedals();
  bool start(const std::vector<std::string>& pedals, std::string* error);
  void stop();
  PedalSim::SimHost& host() { return *host_; }

  // Messages pedal `index` received whose hex text ends with `tail`
  // ("21 F7": serial-number requests).
  int receivedEnding(int index, const std::string& tail);

 private:
  std::unique_ptr<PedalSim::SimHost> host_;
  std::mutex mutex_;
  std::vector<std::string> events_;  // guarded by mutex_
};

// Collects the trace of the core; prints its tail on request.
class TraceTail {
 public:
  TraceTail();
  ~TraceTail();
  void dump(size_t lines = 200);

 private:
  std::mutex mutex_;
  std::string text_;  // guarded by mutex_
};

// Polls until pred holds or the time is up; returns pred's last value.
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(50));

// ESN text as a string ("01020304050607").
std::string esnText(const std::vector<uint8_t>& esn);
std::vector<uint8_t> esnBytes(const std::string& text);

// The listed record of the given ESN, or null.
std::shared_ptr<Updater::DeviceInfo> findIn(const std::vector<std::shared_ptr<Updater::DeviceInfo>>& list,
                                            const std::string& esn);

}  // namespace scanner_test
