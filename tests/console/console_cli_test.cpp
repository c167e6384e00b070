// velorin-update console, run as a user runs it, against a MIDI peer.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "JackTest.h"

namespace {

using namespace std::chrono_literals;
using velorin::test::MidiPeer;

struct Result {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Starts velorin-update with args; standard input from stdinText, output to files.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& stdinText,
        const std::vector<std::pair<std::string, std::string>>& env = {}) {
    static int serial = 0;
    const std::string base = ::testing::TempDir() + "console_cli_" + std::to_string(getpid()) + "_" +
                             std::to_string(serial++);
    in_ = base + ".in";
    out_ = base + ".out";
    err_ = base + ".err";
    std::ofstream(in_) << stdinText;
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      const int i = open(in_.c_str(), O_RDONLY);
      const int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(i, 0);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(VELORIN_UPDATE_PATH));
      argv.push_back(const_cast<char*>("console"));
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(VELORIN_UPDATE_PATH, argv.data());
      _exit(127);
    }
  }
  void signal(int sig) { kill(pid_, sig); }
  // Waits for the exit; a child that hangs is killed and reported as -1.
  Result wait(std::chrono::seconds limit = 60s) {
    Result r;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        r.err = "(killed: hung)";
        return r;
      }
      std::this_thread::sleep_for(20ms);
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(out_);
    r.err = slurp(err_);
    return r;
  }
  std::string errSoFar() const { return slurp(err_); }

 private:
  pid_t pid_ = -1;
  std::string in_, out_, err_;
};

Result run(const std::vector<std::string>& args, const std::string& stdinText = "",
           const std::vector<std::pair<std::string, std::string>>& env = {}) {
  return Child(args, stdinText, env).wait();
}

class ConsoleCli : public velorin::test::JackTest {};

TEST_F(ConsoleCli, ListsPortsAndHelps) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  const Result r = run({"--list-ports"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(peer.outputPortName()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(peer.inputPortName()), std::string::npos) << r.out;

  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--listen SECONDS"), std::string::npos);
}

TEST_F(ConsoleCli, SendsAndPrintsTheReply) {
  MidiPeer peer(MidiPeer::Mode::Reply);
  ASSERT_TRUE(peer.ok()) << peer.error();
  peer.addReply({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x2B, 0x5E, 0xF7});
  const Result r = run({"--in", peer.outputPortName(), "--out", peer.inputPortName(), "--wait", "F07E7F0601F7"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "F0 7E 00 06 02 00 2B 5E F7\n");
  EXPECT_NE(r.err.find("Response received"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("\033["), std::string::npos);  // no colour when not on a terminal
}

TEST_F(ConsoleCli, ReadsStandardInputAndFiles) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  Result r = run({"--out", peer.inputPortName()}, "F0 01 F7\n\nF0 02 F7\n");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(peer.waitForReceived(2, 10s));

  const std::string path = ::testing::TempDir() + "console_cli.syx";
  {
    std::ofstream f(path, std::ios::binary);
    const unsigned char bytes[] = {0xF0, 0x03, 0xF7, 0xF0, 0x04, 0x05, 0xF7};
    f.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
  r = run({"--out", peer.inputPortName(), "--file", path});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(peer.waitForReceived(4, 10s));
  EXPECT_EQ(peer.received()[3], (MidiBytes{0xF0, 0x04, 0x05, 0xF7}));

  r = run({"--out", peer.inputPortName(), "--file", path + ".missing"});
  EXPECT_EQ(r.status, 1);
}

TEST_F(ConsoleCli, FailuresAreNonZeroAndSendNothing) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  const std::string out = peer.inputPortName();

  Result r = run({"--out", out, "F0 01 F7", "F0 02"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("Not SysEx:"), std::string::npos) << r.err;

  r = run({"--out", out, "F0 0G F7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Impossible to convert into byte array from:"), std::string::npos) << r.err;

  r = run({"--out", "no such port anywhere", "F0 01 F7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no MIDI output port matches"), std::string::npos) << r.err;

  r = run({"--out", out, "--wait", "F0 01 F7"});  // waiting without an input
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Input port not selected"), std::string::npos) << r.err;

  r = run({"--list-ports"}, "", {{"VELORIN_MIDI_API", "bogus"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bogus"), std::string::npos) << r.err;

  r = run({"--delay", "soon", "F0 01 F7"});
  EXPECT_EQ(r.status, 64);

  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(peer.received().empty());
}

TEST_F(ConsoleCli, CtrlCCancelsARunningSend) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  std::vector<std::string> args{"--out", peer.inputPortName(), "--delay", "400"};
  for (int i = 0; i < 20; ++i) args.push_back("F0 0" + std::to_string(i % 10) + " F7");
  Child child(args, "");
  ASSERT_TRUE(peer.waitForReceived(1, 30s));
  child.signal(SIGINT);
  const Result r = child.wait();
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
  EXPECT_LT(peer.received().size(), 20u);
}

}  // namespace
