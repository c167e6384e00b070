#pragma once

#include <sys/types.h>

#include <optional>
#include <utility>
#include <string>

// The JACK test bed. MIDI tests run over real RtMidi ports on a private JACK
// server (dummy driver, no realtime, no audio hardware, no ALSA sequencer),
// never on a server someone else uses.
//
// Under ctest one server serves the whole run: the fixture "jack_server"
// (FIXTURES_SETUP / FIXTURES_CLEANUP tests) starts it under a unique name and
// writes the name to a state file in the build folder; useJackServer() reads
// it. Tests naming the fixture also share the resource lock "jack_server", so
// MIDI test processes run one at a time while other tests run beside them:
// a test that lists every port (the scanner's) then sees only its own peers,
// and no other process renumbers its ports. (Several servers side by side are
// no option: every JACK server of a user shares one metadata database, which
// the first server to stop deletes under the others.)
//
// A test binary run by hand, or a benchmark, gets a server of its own.
// Every server runs under a watchdog (velorin_jack_server serve) that stops
// it when told to, when its owner process (ctest, or the test process) is
// gone, also after a crash or a kill, or after a maximum life.
namespace velorin::test {

class JackServer {
 public:
  // Starts a server with a fresh unique name and waits until it accepts
  // clients. owner: the process whose end stops the server. Life in seconds
  // is bounded by maxSeconds. periodFrames at 48 kHz sets how often MIDI
  // moves: 256 (5.3 ms) keeps an idle server cheap, 32 suits latency
  // measurements. nullopt on failure, with the reason in error.
  static std::optional<JackServer> start(pid_t owner, int maxSeconds, std::string* error,
                                         int periodFrames = 256);

  // Stops the server (watchdog and jackd), waits until both are gone and
  // removes the server's log.
  void stop();
  // The same by the watchdog's process id, from any process.
  static void stop(pid_t watchdogPid);

  // Alive and not a zombie (a dead process nobody reaped yet).
  static bool processRunning(pid_t pid);

  // Whether a server of that name accepts clients now.
  static bool acceptsClients(const std::string& name);

  JackServer(std::string name, pid_t watchdogPid, std::string logPath)
      : name_(std::move(name)), pid_(watchdogPid), log_(std::move(logPath)) {}
  const std::string& name() const { return name_; }
  pid_t watchdogPid() const { return pid_; }

 private:
  std::string name_;
  pid_t pid_;
  std::string log_;  // jackd's output, kept only when the server failed
};

// Makes this process use a private JACK server for MIDI: the ctest run's
// server when it is up, else one for this process (stopped at exit); sets
// VELORIN_MIDI_API=jack, JACK_NO_START_SERVER=1 and JACK_DEFAULT_SERVER.
// Call before any RtMidi object is made. Idempotent and thread-safe; false
// with a reason in error when no server could be had.
bool useJackServer(std::string* error = nullptr);

// The server useJackServer() chose ("" before it succeeded).
std::string jackServerName();

// Points the MIDI environment variables at the named server.
void exportJackEnvironment(const std::string& serverName);

}  // namespace velorin::test
