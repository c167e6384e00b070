#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Updater/plugins/Ventrix/HexUtil.h"
#include "Updater/plugins/Ventrix/VxMidiData.h"

// Catches the reply to one request. While attached to a connection, every
// message arriving on the connection's input is offered to push() on the MIDI
// input thread: an echo of the request is ignored, a message whose leading
// bytes agree with the pattern is queued and wakes the waiting thread.
//
// A trigger serves one request. Its accepted count is never reset, so once a
// message was accepted every later wait returns at once.
class VxMidiTrigger {
 public:
  explicit VxMidiTrigger(const std::string& patternText);

  VxMidiTrigger(const VxMidiTrigger&) = delete;
  VxMidiTrigger& operator=(const VxMidiTrigger&) = delete;

  void setPattern(const std::string& patternText);
  // The request as sent, for echo suppression.
  void setLastSent(const MidiBytes& bytes);

  // Offers one received message (MIDI input thread).
  void push(const MidiBytes& bytes);

  // Blocks until a message was accepted or the time passed; true when at
  // least one message was ever accepted.
  bool wait(int milliseconds);

  // Moves the oldest accepted message into out; false (out untouched) when
  // the queue is empty.
  bool dequeue(VxMidiData& out);

  int acceptedCount() const { return accepted_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<HexUtil::VxChar> pattern_;  // guarded by mutex_
  MidiBytes lastSent_;                    // guarded by mutex_
  std::deque<VxMidiData> received_;       // guarded by mutex_
  std::atomic<int> accepted_{0};
};
