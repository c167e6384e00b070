// velorin_jack_server: the JACK server of a ctest run, and the watchdog
// every test server runs under.
//
//   velorin_jack_server start STATEFILE   start a server owned by the caller's
//                                         parent (ctest); write "name\npid\n"
//   velorin_jack_server stop STATEFILE    stop it and remove the file
//   velorin_jack_server serve NAME OWNERPID MAXSECONDS PERIOD
//       run jackd (dummy driver) named NAME until told to stop (SIGTERM,
//       SIGINT, SIGHUP), until the owner process is gone, or for MAXSECONDS,
//       so that no test server outlives its run, even a crashed one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "JackServer.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onStopSignal(int) { stopRequested = 1; }

int serve(const std::string& name, pid_t owner, int maxSeconds, const std::string& period) {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);

  const pid_t jack = fork();
  if (jack < 0) return 1;
  if (jack == 0) {
    // Dummy driver: no audio hardware. -r: no realtime scheduling (needs no
    // privileges). -S: the server waits for every client in each cycle; in
    // the default asynchronous mode a client that runs late on a loaded
    // machine misses the cycle and the MIDI events of that cycle are lost.
    // -t: clients get 10 s, not 0.5 s, before the server gives up on them.
    // PERIOD frames at 48 kHz: MIDI moves once per period.
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    execlp("jackd", "jackd", "-r", "-S", "-t", "10000", "-n", name.c_str(), "-d", "dummy", "-r",
           "48000", "-p", period.c_str(), static_cast<char*>(nullptr));
    std::perror("jackd");
    _exit(127);
  }
  std::printf("watchdog %d: jackd %d serves \"%s\" for owner %d\n", getpid(), jack, name.c_str(),
              owner);
  std::fflush(stdout);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
  int status = 0;
  while (!stopRequested) {
    if (waitpid(jack, &status, WNOHANG) == jack) return 1;
    // A killed owner stays a zombie until its parent reaps it: count it as gone.
    if (owner > 0 && !velorin::test::JackServer::processRunning(owner)) break;
    if (std::chrono::steady_clock::now() > end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(jack, SIGTERM);
  for (int i = 0; i < 60; ++i) {
    if (waitpid(jack, &status, WNOHANG) == jack) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(jack, SIGKILL);
  waitpid(jack, &status, 0);
  return 0;
}

// Life of a ctest run's server when nothing stops it earlier, in seconds.
int maxLifeSeconds() {
  const char* value = std::getenv("VELORIN_JACK_MAX_SECONDS");
  const int seconds = value ? std::atoi(value) : 0;
  return seconds > 0 ? seconds : 1800;
}

int start(const std::string& stateFile) {
  using velorin::test::JackServer;
  std::string error;
  std::optional<JackServer> server = JackServer::start(getppid(), maxLifeSeconds(), &error);
  if (!server) {
    std::fprintf(stderr, "cannot start the JACK test server: %s\n", error.c_str());
    return 1;
  }
  const std::string temp = stateFile + ".tmp";
  bool written = false;
  {
    std::ofstream out(temp, std::ios::trunc);
    out << server->name() << "\n" << server->watchdogPid() << "\n";
    written = static_cast<bool>(out);
  }
  if (!written || std::rename(temp.c_str(), stateFile.c_str()) != 0) {
    server->stop();
    std::fprintf(stderr, "cannot write %s\n", stateFile.c_str());
    return 1;
  }
  std::printf("JACK test server \"%s\" up (watchdog %d)\n", server->name().c_str(),
              server->watchdogPid());
  return 0;
}

int stop(const std::string& stateFile) {
  using velorin::test::JackServer;
  std::ifstream in(stateFile);
  std::string name;
  long pid = 0;
  if (!(in >> name >> pid) || pid <= 0) {
    std::printf("no JACK test server recorded in %s\n", stateFile.c_str());
    return 0;
  }
  in.close();
  JackServer::stop(static_cast<pid_t>(pid));
  std::remove(stateFile.c_str());
  if (JackServer::acceptsClients(name)) {
    std::fprintf(stderr, "JACK test server \"%s\" still answers after stop\n", name.c_str());
    return 1;
  }
  std::printf("JACK test server \"%s\" stopped\n", name.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "start" && argc == 3) return start(argv[2]);
  if (command == "stop" && argc == 3) return stop(argv[2]);
  if (command == "serve" && argc == 6) {
    return serve(argv[2], static_cast<pid_t>(std::atol(argv[3])), std::atoi(argv[4]), argv[5]);
  }
  std::fprintf(stderr,
               "usage: %s start STATEFILE | stop STATEFILE | serve NAME OWNERPID MAXSECONDS PERIOD\n",
               argv[0]);
  return 2;
}
