#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PedalEngine.h"
#include "Transport.h"

// Runs simulated pedals on ports: one worker thread owns every pedal model,
// takes the messages that arrive on the ports, sends the replies when they are
// due and opens, closes and renames ports as pedals restart. The transport's
// receive callbacks only queue messages, so nothing that closes a port ever
// waits for a callback that waits for it.
namespace PedalSim {

class SimHost {
 public:
  // One line of the event log, already JSON (no line end).
  using EventSink = std::function<void(const std::string& line)>;

  struct PortState {
    std::string in;   // where the pedals receive
    std::string out;  // where they send
    std::vector<int> pedals;
  };

  SimHost(std::vector<PedalConfig> pedals, std::shared_ptr<Transport> transport, EventSink sink = {});
  ~SimHost();
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // Opens the ports and starts the worker; false (with the reason) when a
  // port could not be opened.
  bool start(std::string* error);
  void stop();

  size_t pedalCount() const { return engines_.size(); }
  // Runs fn on one pedal with the worker held off; for faults, state and
  // checks. Call wake() afterwards if fn changed timing or presence.
  void withPedal(int index, const std::function<void(PedalEngine&)>& fn);
  void wake();
  // The port pairs open now.
  std::vector<PortState> openPorts();
  // One JSON line per pedal.
  std::vector<std::string> summary();

  // Milliseconds since start().
  Millis now() const;

 private:
  struct Group {
    std::string fixedName;  // interface name; empty: a pedal's own ports
    std::vector<int> pedals;
    std::unique_ptr<Endpoint> endpoint;
    std::string in, out;    // names of the open endpoint
    uint64_t generation = 0;
  };
  struct Incoming {
    size_t group;
    uint64_t generation;
    MidiBytes bytes;
  };
  struct Outgoing {
    size_t group;
    int pedal;
    MidiBytes bytes;
    uint64_t restarts;  // the pedal's restart count when the reply was made
  };

  void run(std::stop_token stop);
  void deliver(const Incoming& message, Millis at);
  void sendDue(Millis at);
  // Opens, closes or renames ports to match the pedals; false with the reason
  // when a port could not be opened.
  bool syncPorts(std::string* error);
  void log(int pedal, const std::string& kind, const Json& fields);

  std::shared_ptr<Transport> transport_;
  EventSink sink_;
  std::chrono::steady_clock::time_point start_;

  std::mutex mutex_;  // guards engines_, groups_, outbox_
  std::vector<std::unique_ptr<PedalEngine>> engines_;
  std::vector<Group> groups_;
  std::multimap<Millis, Outgoing> outbox_;

  std::mutex inboxMutex_;  // guards inbox_ and woken_; never held while ports close
  std::condition_variable_any inboxReady_;
  std::deque<Incoming> inbox_;
  bool woken_ = false;

  std::mutex sinkMutex_;  // one log line at a time
  std::jthread worker_;
};

}  // namespace PedalSim
