// 'velorin-update list' against a running velorin-pedal-sim, both as their
// own processes on this test's JACK server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "JackServer.h"
#include "ScannerTestBed.h"
#include "Updater/DeviceScanner.h"

#ifndef VELORIN_UPDATE_PATH
#error "VELORIN_UPDATE_PATH must name the velorin-update executable"
#endif
#ifndef VELORIN_PEDAL_SIM_PATH
#error "VELORIN_PEDAL_SIM_PATH must name the velorin-pedal-sim executable"
#endif

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A child process with its standard input and output on pipes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Child() {
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      wait();
    }
  }
  bool ok() const { return pid_ > 0; }

  // The next line of its standard output; false at its end or after timeout.
  bool readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t eol = buffer_.find('\n');
      if (eol != std::string::npos) {
        line = buffer_.substr(0, eol);
        buffer_.erase(0, eol + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      pollfd fd{stdout_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t got = read(stdout_, chunk, sizeof chunk);
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }
  std::string readAll(std::chrono::milliseconds timeout) {
    std::string text, line;
    while (readLine(line, timeout)) text += line + "\n";
    return text + buffer_;
  }
  // Exit status, or -1 when it did not exit normally.
  int wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

// A JSON array of flat objects whose values are strings or booleans, as the
// list prints it. Strings keep their escapes resolved for \" and \\ only.
using Object = std::map<std::string, std::string>;
bool parseList(const std::string& text, std::vector<Object>& out) {
  size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  };
  auto string = [&](std::string& s) {
    if (text[i] != '"') return false;
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\') ++i;
      s += text[i];
    }
    ++i;
    return true;
  };
  skip();
  if (i >= text.size() || text[i++] != '[') return false;
  for (;;) {
    skip();
    if (text[i] == ']') return true;
    if (text[i] == ',') {
      ++i;
      continue;
    }
    if (text[i++] != '{') return false;
    Object object;
    for (;;) {
      skip();
      if (text[i] == '}') {
        ++i;
        break;
      }
      if (text[i] == ',') {
        ++i;
        continue;
      }
      std::string key, value;
      if (!string(key)) return false;
      skip();
      if (text[i++] != ':') return false;
      skip();
      if (text[i] == '"') {
        if (!string(value)) return false;
      } else {
        while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) value += text[i++];
      }
      object[key] = value;
    }
    out.push_back(object);
  }
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ListCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(velorin::test::useJackServer(&error)) << error;
  }
};

TEST_F(ListCommand, JsonListsExactlyWhatTheSimulatorPresents) {
  Child sim({VELORIN_PEDAL_SIM_PATH, "--pedal", "type=Kesmet esn=11111111111111 version=1.25b dsp=2.34",
             "--pedal", "type=Brenno esn=22222222222222 port=\"Thru Box\"", "--pedal",
             "type=Ulmara esn=33333333333333 version=2.04 port=\"Thru Box\"", "--pedal",
             "type=Corvel esn=44444444444444 version=1.10 port=\"USB MIDI Interface\"", "--pedal",
             "type=Dorvik mode=boot esn=55555555555555 version=3.21"});
  ASSERT_TRUE(sim.ok());
  // One "ready" line per port pair: in is where the pedals listen, out where they send.
  std::map<std::string, std::string> sendsOn;  // listening port -> sending port
  std::string line;
  while (sendsOn.size() < 4) {
    ASSERT_TRUE(sim.readLine(line, 20s)) << "simulator not ready";
    const size_t in = line.find("\"in\":\""), out = line.find("\"out\":\"");
    ASSERT_NE(in, std::string::npos) << line;
    const std::string inName = line.substr(in + 6, line.find('"', in + 6) - in - 6);
    sendsOn[inName] = line.substr(out + 7, line.find('"', out + 7) - out - 7);
  }

  Child list({VELORIN_UPDATE_PATH, "list", "--json", "--timeout", "30"});
  ASSERT_TRUE(list.ok());
  const std::string text = list.readAll(60s);
  EXPECT_EQ(list.wait(), 0);
  std::vector<Object> rows;
  ASSERT_TRUE(parseList(text, rows)) << text;

  struct Expected {
    const char* name;
    const char* fidpid;
    const char* esn;  // "" for the proxy
    const char* mode;
    const char* version;
    const char* beta;
    const char* chained;
    const char* unsupported;
    const char* port;  // where the pedal listens
    const char* dsp;   // nullptr: not checked
  };
  const Expected expected[] = {
      {"Kesmet", "1303", "11111111111111", "user", "1.25", "true", "false", "false", "Kesmet", "2.34"},
      {"Brenno", "1304", "22222222222222", "user", "1.00", "false", "true", "false", "Thru Box", "1.00"},
      {"Ulmara", "1305", "33333333333333", "user", "2.04", "false", "true", "false", "Thru Box", "1.00"},
      {"corVel", "1706", "", "user", "1.10", "false", "false", "true", "USB MIDI Interface", ""},
      {"Dorvik", "1341", "55555555555555", "boot", "3.21", "false", "false", "false", "Velorin_Recover", nullptr},
  };
  ASSERT_EQ(rows.size(), std::size(expected)) << text;
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    const Object* row = nullptr;
    for (const Object& r : rows) {
      if (r.at("name") == e.name) row = &r;
    }
    ASSERT_TRUE(row) << text;
    EXPECT_EQ(row->size(), 11u);
    EXPECT_EQ(row->at("fidpid"), e.fidpid);
    EXPECT_EQ(row->at("mode"), e.mode);
    EXPECT_EQ(row->at("version"), e.version);
    EXPECT_EQ(row->at("beta"), e.beta);
    EXPECT_EQ(row->at("chained"), e.chained);
    EXPECT_EQ(row->at("unsupported"), e.unsupported);
    ASSERT_TRUE(row->count("dsp_version"));
    if (e.dsp) {
      EXPECT_EQ(row->at("dsp_version"), e.dsp);
    }
    // The scanner's output port is where the pedal listens, its input port where it sends.
    EXPECT_TRUE(endsWith(row->at("output_port"), ":" + std::string(e.port))) << row->at("output_port");
    EXPECT_TRUE(endsWith(row->at("input_port"), ":" + sendsOn[e.port])) << row->at("input_port");
    if (*e.esn) {
      EXPECT_EQ(row->at("esn"), e.esn);
    } else {
      Updater::MidiPortData entry;
      entry.type = VX::Corvel;
      entry.inputPort = std::make_shared<Updater::MidiPortIn>(row->at("input_port"), 0);
      entry.outputPort = std::make_shared<Updater::MidiPortOut>(row->at("output_port"), 0);
      EXPECT_EQ(row->at("esn"), Updater::DeviceScanner::generateProxyESN(&entry));
    }
  }
  // Pedals without a DSP report none.
  for (const Object& r : rows) {
    if (r.at("name") == "corVel") {
      EXPECT_EQ(r.at("dsp_version"), "");
    }
  }
}

TEST_F(ListCommand, NoPedalIsAnEmptyListAndAnUnusableBackEndIsExitCodeTwo) {
  {
    Child list({VELORIN_UPDATE_PATH, "list", "--json", "--timeout", "20"});
    const std::string text = list.readAll(40s);
    EXPECT_EQ(list.wait(), 0);
    EXPECT_EQ(text, "[]\n");
  }
  struct Case {
    const char* variable;
    const char* value;
  };
  const Case cases[] = {
      {"VELORIN_MIDI_API", "bogus"},             // no such back end
      {"JACK_DEFAULT_SERVER", "velorin-absent"},  // JACK without its server
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string before = std::getenv(c.variable) ? std::getenv(c.variable) : "";
    setenv(c.variable, c.value, 1);
    Child list({VELORIN_UPDATE_PATH, "list", "--json"});
    const std::string text = list.readAll(30s);
    EXPECT_EQ(list.wait(), 2);
    EXPECT_EQ(text, "");  // nothing on standard output
    setenv(c.variable, before.c_str(), 1);
  }
}

}  // namespace
