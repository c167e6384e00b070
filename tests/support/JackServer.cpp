#include "JackServer.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#ifndef VELORIN_JACK_SERVER_PATH
#error "VELORIN_JACK_SERVER_PATH must name the velorin_jack_server executable"
#endif
#ifndef VELORIN_JACK_STATE_FILE
#error "VELORIN_JACK_STATE_FILE must name the ctest run's server state file"
#endif

namespace velorin::test {
namespace {

using Clock = std::chrono::steady_clock;

// How long a server may take to accept clients; generous for sanitizer
// builds on a loaded machine.
constexpr int kStartTimeoutMs = 20000;
constexpr int kStopTimeoutMs = 6000;
// A test process's server never lives longer, whatever happens to the process.
constexpr int kMaxLifeSeconds = 1800;

std::string uniqueName() {
  std::random_device device;
  std::ostringstream name;
  name << "velorin-test-" << getpid() << "-" << std::hex << (device() & 0xFFFFFFu);
  return name.str();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

bool JackServer::processRunning(pid_t pid) {
  if (kill(pid, 0) != 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= text.size()) return true;
  return text[paren + 2] != 'Z';
}

bool JackServer::acceptsClients(const std::string& name) {
  // While a server is starting every probe fails; libjack would say so on
  // standard error each time.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
  });
  jack_status_t status{};
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
  jack_client_t* client = jack_client_open("velorin-probe", options, &status, name.c_str());
  if (!client) return false;
  jack_client_close(client);
  return true;
}

std::optional<JackServer> JackServer::start(pid_t owner, int maxSeconds, std::string* error,
                                            int periodFrames) {
  const std::string name = uniqueName();
  const char* tmp = std::getenv("TMPDIR");
  const std::string log = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".log";

  // Everything the child needs is prepared before fork(): only exec-safe calls after.
  const std::string watchdog = VELORIN_JACK_SERVER_PATH;
  const std::string ownerText = std::to_string(owner);
  const std::string maxText = std::to_string(maxSeconds);
  const std::string periodText = std::to_string(periodFrames);
  std::vector<char*> argv = {const_cast<char*>(watchdog.c_str()), const_cast<char*>("serve"),
                             const_cast<char*>(name.c_str()),
                             const_cast<char*>(ownerText.c_str()),
                             const_cast<char*>(maxText.c_str()),
                             const_cast<char*>(periodText.c_str()), nullptr};

  const pid_t pid = fork();
  if (pid < 0) {
    if (error) *error = "fork failed";
    return std::nullopt;
  }
  if (pid == 0) {
    // Own session and process group: the watchdog and jackd can be killed
    // as one group, and a terminal's Ctrl-C reaches the owner, who then stops them.
    setsid();
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in >= 0) dup2(in, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }

  const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      std::ifstream logFile(log);
      std::stringstream text;
      text << logFile.rdbuf();
      if (error) *error = "jackd ended at start-up (log " + log + "):\n" + text.str();
      return std::nullopt;
    }
    if (acceptsClients(name)) return JackServer(name, pid, log);
    sleepMs(50);
  }
  stop(pid);
  if (error) *error = "jackd did not accept clients within 20 s (log " + log + ")";
  return std::nullopt;
}

void JackServer::stop() {
  stop(pid_);
  std::remove(log_.c_str());
}

void JackServer::stop(pid_t watchdogPid) {
  if (watchdogPid <= 0) return;
  kill(watchdogPid, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  while (Clock::now() < deadline) {
    int status = 0;
    const pid_t reaped = waitpid(watchdogPid, &status, WNOHANG);
    if (reaped == watchdogPid) return;
    // Not our child (started by another process): watch it instead.
    if (reaped < 0 && !JackServer::processRunning(watchdogPid)) return;
    sleepMs(20);
  }
  // The watchdog is stuck: take its whole group, jackd included.
  kill(-watchdogPid, SIGKILL);
  int status = 0;
  waitpid(watchdogPid, &status, 0);
}

void exportJackEnvironment(const std::string& serverName) {
  setenv("VELORIN_MIDI_API", "jack", 1);
  // A client must never start a server of its own, nor find a shared one.
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", serverName.c_str(), 1);
}

namespace {

struct ProcessServer {
  std::mutex mutex;
  std::string name;    // guarded by mutex
  std::string error;   // guarded by mutex
  bool tried = false;  // guarded by mutex
  // A server of this process's own, stopped when the process ends.
  std::unique_ptr<JackServer> own;  // guarded by mutex

  ~ProcessServer() {
    if (own) own->stop();
  }
};

ProcessServer& processServer() {
  static ProcessServer server;
  return server;
}

// The ctest run's server, when its state file names one that is up.
std::string runServer() {
  std::ifstream state(VELORIN_JACK_STATE_FILE);
  std::string name;
  if (!std::getline(state, name) || name.empty()) return {};
  return JackServer::acceptsClients(name) ? name : std::string();
}

}  // namespace

bool useJackServer(std::string* error) {
  ProcessServer& server = processServer();
  std::lock_guard<std::mutex> guard(server.mutex);
  if (!server.tried) {
    server.tried = true;
    server.name = runServer();
    if (server.name.empty()) {
      std::optional<JackServer> own = JackServer::start(getpid(), kMaxLifeSeconds, &server.error);
      if (own) {
        server.name = own->name();
        server.own = std::make_unique<JackServer>(*own);
      }
    }
    if (!server.name.empty()) exportJackEnvironment(server.name);
  }
  if (server.name.empty() && error) *error = server.error;
  return !server.name.empty();
}

std::string jackServerName() {
  ProcessServer& server = processServer();
  std::lock_guard<std::mutex> guard(server.mutex);
  return server.name;
}

}  // namespace velorin::test

// LeakSanitizer suppressions for third-party frames only (any program that
// links the test bed). Our own allocations are never matched: a leaked
// object of ours is still reported from our own frames.
// - libdb: libjack keeps JACK's metadata in a Berkeley DB shared by every
//   JACK server of the user; when another server (another test run on the
//   same machine) stops, it deletes the database and libdb leaks its handles.
// - jack_ringbuffer_create: RtMidi's JACK back end loses its ring buffer when
//   it cannot reach the server while a port object is created.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdb-5.3.so\n"
         "leak:jack_ringbuffer_create\n";
}
