#include "ScannerTestBed.h"

#include <thread>

#include "Transport.h"
#include "Utils/Trace.h"

namespace scanner_test {

SimPedals::~SimPedals() { stop(); }

bool SimPedals::start(const std::vector<std::string>& pedals, std::string* error) {
  std::vector<PedalSim::PedalConfig> configs;
  for (size_t i = 0; i < pedals.size(); ++i) {
    PedalSim::PedalConfig config;
    std::string why;
    if (!PedalSim::parsePedal(pedals[i], static_cast<int>(i), config, why)) {
      if (error) *error = pedals[i] + ": " + why;
      return false;
    }
    configs.push_back(config);
  }
  host_ = std::make_unique<PedalSim::SimHost>(configs, PedalSim::makeMidiTransport(),
                                              [this](const std::string& line) {
                                                std::lock_guard<std::mutex> guard(mutex_);
                                                events_.push_back(line);
                                              });
  return host_->start(error);
}

void SimPedals::stop() {
  if (host_) host_->stop();
}

int SimPedals::receivedEnding(int index, const std::string& tail) {
  const std::string pedal = "\"pedal\":" + std::to_string(index) + ",";
  const std::string ending = tail + "\"";
  std::lock_guard<std::mutex> guard(mutex_);
  int count = 0;
  for (const std::string& line : events_) {
    if (line.find(pedal) == std::string::npos || line.find("\"event\":\"in\"") == std::string::npos) {
      continue;
    }
    const size_t at = line.find(ending);
    if (at != std::string::npos) ++count;
  }
  return count;
}

TraceTail::TraceTail() {
  Trace::setSink([this](std::string_view text) {
    std::lock_guard<std::mutex> guard(mutex_);
    text_ += text;
    // Keep the last megabyte or so.
    if (text_.size() > (2u << 20)) text_.erase(0, text_.size() - (1u << 20));
  });
}

TraceTail::~TraceTail() { Trace::setSink({}); }

void TraceTail::dump(size_t lines) {
  std::lock_guard<std::mutex> guard(mutex_);
  size_t at = text_.size();
  for (size_t n = 0; n <= lines && at > 0; ++n) {
    at = text_.rfind('\n', at - 1);
    if (at == std::string::npos) {
      at = 0;
      break;
    }
  }
  std::fprintf(stderr, "---- last trace lines ----\n%s\n", text_.substr(at).c_str());
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(step);
  }
  return pred();
}

std::string esnText(const std::vector<uint8_t>& esn) { return std::string(esn.begin(), esn.end()); }
std::vector<uint8_t> esnBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::shared_ptr<Updater::DeviceInfo> findIn(const std::vector<std::shared_ptr<Updater::DeviceInfo>>& list,
                                            const std::string& esn) {
  for (const auto& device : list) {
    if (device && esnText(device->esn) == esn) return device;
  }
  return nullptr;
}

}  // namespace scanner_test
