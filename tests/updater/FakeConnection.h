#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Updater/Connection.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"

namespace velorin::test {

// A scripted connection: every request goes to a responder that returns the
// pedal's replies at once, and every call is recorded with its time-out. No
// call waits, so a test of a 40 x 300 ms retry loop takes no time; the
// recorded time-outs show what would have been waited for.
class FakeConnection : public Updater::Connection {
 public:
  enum class Kind { Plain, Trigger, Free };
  struct Call {
    Kind kind;
    MidiBytes request;
    int timeout = 0;
  };
  // Replies to one request, in order; empty for silence.
  using Responder = std::function<std::vector<MidiBytes>(const MidiBytes& request)>;

  FakeConnection() : Connection(kKindMidi) {}

  void setResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(mutex_);
    responder_ = std::move(responder);
  }
  void setOpen(bool open) {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = open;
  }
  // Sends fail (as when the port went away) without closing the connection.
  void setSendFails(bool fails) {
    std::lock_guard<std::mutex> guard(mutex_);
    sendFails_ = fails;
  }

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  std::vector<MidiBytes> sent() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<MidiBytes> out;
    for (const Call& c : calls_) out.push_back(c.request);
    return out;
  }
  void clearCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
  }
  int deactivations() {
    std::lock_guard<std::mutex> guard(mutex_);
    return deactivations_;
  }

  bool sendAndWait(const MidiBytes& request, MidiBytes* reply, int timeout) override {
    if (reply) reply->clear();
    std::vector<MidiBytes> replies;
    if (!exchange(Kind::Plain, request, timeout, replies)) return false;
    if (replies.empty()) return false;
    if (reply) *reply = replies.front();
    return true;
  }

  bool sendAndWait(const MidiBytes& request, std::shared_ptr<VxMidiTrigger> trigger, int timeout,
                   bool /*release*/) override {
    if (!trigger) return false;
    std::vector<MidiBytes> replies;
    if (!exchange(Kind::Trigger, request, timeout, replies)) return false;
    trigger->setLastSent(request);
    for (const MidiBytes& r : replies) trigger->push(r);
    return trigger->wait(0);
  }

  bool sendWithoutResponse(const MidiBytes& request) override {
    std::vector<MidiBytes> replies;
    return exchange(Kind::Free, request, 0, replies);
  }

  void deactivate() override {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = false;
    ++deactivations_;
  }
  bool isConnectionOpened() override {
    std::lock_guard<std::mutex> guard(mutex_);
    return open_;
  }
  void debugPrint() override {}

 private:
  bool exchange(Kind kind, const MidiBytes& request, int timeout, std::vector<MidiBytes>& replies) {
    Responder responder;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!open_ || sendFails_) return false;
      calls_.push_back({kind, request, timeout});
      responder = responder_;
    }
    // Outside the lock: a responder may call back into the test (cancel).
    if (responder) replies = responder(request);
    return true;
  }

  std::mutex mutex_;
  Responder responder_;          // guarded by mutex_
  std::vector<Call> calls_;      // guarded by mutex_
  bool open_ = true;             // guarded by mutex_
  bool sendFails_ = false;       // guarded by mutex_
  int deactivations_ = 0;        // guarded by mutex_
};

// Bytes from spaced hex text ("F0 7E 7F 06 01 F7").
MidiBytes hex(const std::string& text);
std::string hex(const MidiBytes& bytes);

// Captures the core's trace while alive.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  std::string text();
  bool contains(const std::string& needle) { return text().find(needle) != std::string::npos; }

 private:
  std::shared_ptr<std::string> buffer_;
  std::shared_ptr<std::mutex> mutex_;
};

// A folder of its own under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  // Writes the messages, concatenated, into a file of that name; returns its path.
  std::string write(const std::string& name, const std::vector<MidiBytes>& messages) const;
  std::string writeBytes(const std::string& name, const MidiBytes& bytes) const;

 private:
  std::string path_;
};

}  // namespace velorin::test

namespace velorin::test {

// A small firmware file as the pedals take it: begin (sub-command `begin`,
// 01 or 20 for "send twice"), erase, `data` data messages, and the trailing
// 7-byte gender message when tail is set. c = 43 (user code).
std::vector<MidiBytes> makeFirmware(uint8_t fid, uint8_t pid, int data, uint8_t begin = 0x01,
                                    bool tail = true);

// Acknowledgements of a firmware message sent to fid/pid: style A (families
// 0x17, 0x19) F0 00 2B 5E ff pp 43 ss F7, style B F0 00 2B 5E ff pp 43 0C ss F7.
MidiBytes ackFor(const MidiBytes& request, uint8_t status);

}  // namespace velorin::test
