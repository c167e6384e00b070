#include "Updater/plugins/Ventrix/VxMidiTrigger.h"

#include <chrono>

#include "Utils/Trace.h"

VxMidiTrigger::VxMidiTrigger(const std::string& patternText) { setPattern(patternText); }

void VxMidiTrigger::setPattern(const std::string& patternText) {
  std::lock_guard<std::mutex> lock(mutex_);
  HexUtil::pattern(patternText, pattern_);
}

void VxMidiTrigger::setLastSent(const MidiBytes& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastSent_ = bytes;
}

void VxMidiTrigger::push(const MidiBytes& bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes == lastSent_) return;

    // Console trace of the pattern the message is compared with, "F0 7E .. 06 ".
    const size_t pairs = pattern_.size() / 2;
    if (Trace::enabled()) {
      std::string trace;
      trace.reserve(pairs * 3);
      for (size_t i = 0; i < pairs; ++i) {
        trace += pattern_[2 * i].toString();
        trace += pattern_[2 * i + 1].toString();
        trace += ' ';
      }
      Trace::write(trace);
    }

    const size_t n = std::min(bytes.size(), pairs);
    for (size_t i = 0; i < n; ++i) {
      if (pattern_[2 * i] != (bytes[i] / 16) || pattern_[2 * i + 1] != (bytes[i] & 0x0F)) return;
    }
    received_.emplace_back(bytes);
    accepted_.fetch_add(1);
  }
  cv_.notify_one();
}

bool VxMidiTrigger::wait(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds),
               [this] { return accepted_.load() > 0; });
  return accepted_.load() > 0;
}

bool VxMidiTrigger::dequeue(VxMidiData& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (received_.empty()) return false;
  out = std::move(received_.front());
  received_.pop_front();
  return true;
}
