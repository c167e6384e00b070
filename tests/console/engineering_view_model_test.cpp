#include "Controllers/Updater/EngineeringViewModel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "JackTest.h"
#include "PedalConfig.h"
#include "SimHost.h"

namespace {

using namespace std::chrono_literals;
using velorin::test::MidiPeer;

const MidiBytes kIdentityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
const MidiBytes kIdentityReply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x2B, 0x5E, 0x17, 0x00,
                               0x02, 0x00, 0x30, 0x31, 0x32, 0x33, 0xF7};

// Everything the model reports, with waits for what a test expects.
class Recorder {
 public:
  struct Line {
    std::string text;
    int kind;
  };

  void attach(EngineeringViewModel& model) {
    model.registerSystemOutputCallback([this](std::string s, int k) { add(out_, std::move(s), k); });
    model.registerSystemInputTextCallback([this](std::string s, int k) { add(in_, std::move(s), k); });
    model.registerInputTextCallback([this](std::string s) { add(text_, std::move(s), -1); });
    model.registerPortListCallback([this] {
      std::lock_guard<std::mutex> lock(m_);
      ++portListCalls_;
      cv_.notify_all();
    });
  }

  std::function<void(bool, float)> completion() {
    return [this](bool done, float progress) {
      std::lock_guard<std::mutex> lock(m_);
      progress_.push_back(progress);
      if (done) done_ = true;
      cv_.notify_all();
    };
  }

  bool waitDone(std::chrono::milliseconds timeout = 30s) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, timeout, [this] { return done_; });
  }

  // Polls without holding the recorder's lock: predicates call into the
  // model, whose callbacks take that lock.
  template <typename Pred>
  static bool waitFor(Pred pred, std::chrono::milliseconds timeout = 30s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::vector<Line> out() { return copy(out_); }
  std::vector<Line> in() { return copy(in_); }
  std::vector<Line> texts() { return copy(text_); }
  std::vector<float> progress() {
    std::lock_guard<std::mutex> lock(m_);
    return progress_;
  }
  int portListCalls() {
    std::lock_guard<std::mutex> lock(m_);
    return portListCalls_;
  }
  // Log texts without their time stamps, "[14-05-09:042]: ".
  static std::vector<std::string> bodies(const std::vector<Line>& lines) {
    std::vector<std::string> r;
    for (const auto& l : lines) r.push_back(l.text.substr(l.text.find("]: ") + 3));
    return r;
  }
  static int count(const std::vector<Line>& lines, const std::string& body, int kind) {
    int n = 0;
    for (const auto& l : lines) n += l.text.substr(l.text.find("]: ") + 3) == body && l.kind == kind;
    return n;
  }

 private:
  void add(std::vector<Line>& v, std::string s, int k) {
    std::lock_guard<std::mutex> lock(m_);
    v.push_back({std::move(s), k});
    cv_.notify_all();
  }
  std::vector<Line> copy(const std::vector<Line>& v) {
    std::lock_guard<std::mutex> lock(m_);
    return v;
  }

  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Line> out_, in_, text_;  // guarded by m_
  std::vector<float> progress_;        // guarded by m_
  bool done_ = false;                  // guarded by m_
  int portListCalls_ = 0;              // guarded by m_
};

class ConsoleModel : public velorin::test::JackTest {
 protected:
  // 1-based index of the port whose name contains part, once the watcher has seen it.
  int waitForPort(bool input, const std::string& part) {
    int index = 0;
    rec.waitFor([&] {
      const int n = input ? model->getInPortCount() : model->getOutPortCount();
      for (int i = 0; i < n; ++i) {
        if ((input ? model->getInPort(i) : model->getOutPort(i)).find(part) != std::string::npos) index = i + 1;
      }
      return index != 0;
    });
    return index;
  }

  // Model ports wired to the peer: our input listens to its output and the
  // other way round. A new JACK link can lose what is sent in its first
  // cycles, so each direction is proven with a probe; the counts the probes
  // leave behind are the tests' baselines.
  void connectTo(MidiPeer& peer, bool withInput = true) {
    const int out = waitForPort(false, peer.inputPortName());
    ASSERT_NE(out, 0) << "peer input not listed";
    model->selectOutPort(out);
    ASSERT_EQ(model->getSelectedOutput(), out);
    model->setSendType(false);
    model->setDelayTime(false, 0);
    bool through = false;
    for (int attempt = 0; attempt < 100 && !through; ++attempt) {
      Recorder probe;
      model->send("F0 7D 00 F7", probe.completion());
      ASSERT_TRUE(probe.waitDone());
      through = peer.waitForReceived(1, 100ms);
    }
    ASSERT_TRUE(through) << "nothing reaches the peer";

    if (withInput) {
      const int in = waitForPort(true, peer.outputPortName());
      ASSERT_NE(in, 0) << "peer output not listed";
      model->selectInPort(in);
      ASSERT_EQ(model->getSelectedInput(), in);
      through = false;
      for (int attempt = 0; attempt < 100 && !through; ++attempt) {
        peer.send({0xF0, 0x7D, 0x01, 0xF7});
        through = Recorder::waitFor([&] { return !rec.texts().empty(); }, 100ms);
      }
      ASSERT_TRUE(through) << "nothing arrives from the peer";
    }
    // Late copies of a probe may still be on their way.
    std::this_thread::sleep_for(100ms);
    peerBaseline = peer.received().size();
    textBaseline = rec.texts().size();
  }

  size_t peerBaseline = 0;  // messages the peer had received before the test's own
  size_t textBaseline = 0;  // messages the model had received before the test's own

  void SetUp() override {
    JackTest::SetUp();
    model = std::make_unique<EngineeringViewModel>();
    rec.attach(*model);
    model->start();
  }

  Recorder rec;
  std::unique_ptr<EngineeringViewModel> model;
};

struct ParseCase {
  const char* name;
  std::string text;
  std::vector<MidiBytes> messages;
  const char* logged;  // start of the problem line, or nullptr
};

const ParseCase kParseCases[] = {
    {"spaced", "F0 00 01 F7", {{0xF0, 0x00, 0x01, 0xF7}}, nullptr},
    {"dense", "F00001F7", {{0xF0, 0x00, 0x01, 0xF7}}, nullptr},
    {"lower case", "f0 7e 7f 06 01 f7", {kIdentityRequest}, nullptr},
    {"empty line between", "F0 01 F7\n\nF0 02 F7\n", {{0xF0, 0x01, 0xF7}, {0xF0, 0x02, 0xF7}}, nullptr},
    {"not sysex", "F0 01 F7\nF0 00 01", {}, "Not SysEx:\n\nF0 00 01\n\n"},
    {"not hex", "F0 0G F7", {}, "Impossible to convert into byte array from:\n\nF0 0G F7\n\n"},
    {"odd", "F0 0 F7", {}, "Impossible to convert into byte array from:\n\nF0 0 F7\n\n"},
    {"tab", "F0\t01 F7", {}, "Impossible to convert into byte array from:\n\nF0\t01 F7\n\n"},
    {"sign", "F0 +1 F7", {}, "Impossible to convert into byte array from:\n\nF0 +1 F7\n\n"},
    {"only blanks", "  \n \n", {}, nullptr},
};

TEST_F(ConsoleModel, ParsesCommandLists) {
  for (const auto& c : kParseCases) {
    SCOPED_TRACE(c.name);
    const size_t before = rec.out().size();
    EXPECT_EQ(model->parseCommandList(c.text), c.messages);
    const auto lines = rec.out();
    if (c.logged) {
      ASSERT_EQ(lines.size(), before + 1);
      EXPECT_EQ(Recorder::bodies(lines).back(), std::string(c.logged) + "\n");
      EXPECT_EQ(lines.back().kind, EngineeringViewModel::LogProblem);
    } else {
      EXPECT_EQ(lines.size(), before);
    }
  }
}

TEST_F(ConsoleModel, LogLinesCarryATimeStamp) {
  model->send("F0 01 F7", rec.completion());
  ASSERT_TRUE(rec.waitDone());
  const auto lines = rec.out();
  ASSERT_FALSE(lines.empty());
  const std::string& l = lines.front().text;
  // "[HH-MM-SS:mmm]: "
  ASSERT_GE(l.size(), 17u);
  EXPECT_EQ(l[0], '[');
  EXPECT_EQ(l[3], '-');
  EXPECT_EQ(l[6], '-');
  EXPECT_EQ(l[9], ':');
  EXPECT_EQ(l.substr(13, 3), "]: ");
  EXPECT_EQ(l.back(), '\n');
}

TEST_F(ConsoleModel, NothingSelectedIsReportedAsDoneWithoutProgress) {
  model->send("F0 01 F7", rec.completion());
  ASSERT_TRUE(rec.waitDone());
  EXPECT_EQ(Recorder::count(rec.out(), "Output port not selected\n\n", 2), 1);
  EXPECT_EQ(rec.progress(), std::vector<float>{0.0f});
}

TEST_F(ConsoleModel, WaitingNeedsAnInput) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  connectTo(peer, false);
  model->setSendType(true);
  model->send("F0 01 F7", rec.completion());
  ASSERT_TRUE(rec.waitDone());
  EXPECT_EQ(Recorder::count(rec.out(), "Input port not selected\n\n", 2), 1);
  EXPECT_EQ(peer.received().size(), peerBaseline);
}

TEST_F(ConsoleModel, RejectedLineSendsNothing) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  connectTo(peer, false);
  model->setSendType(false);
  model->send("F0 01 F7\nF0 02", rec.completion());
  ASSERT_TRUE(rec.waitDone());
  EXPECT_EQ(Recorder::count(rec.out(), "Nothing to send\n\n", 2), 1);
  EXPECT_EQ(rec.progress(), std::vector<float>{0.0f});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(peer.received().size(), peerBaseline);
}

TEST_F(ConsoleModel, IdentityRequestAnsweredAndLogged) {
  MidiPeer peer(MidiPeer::Mode::Reply);
  ASSERT_TRUE(peer.ok()) << peer.error();
  peer.addReply(kIdentityRequest, kIdentityReply);
  connectTo(peer);
  model->setSendType(true);
  model->send("F0 7E 7F 06 01 F7", rec.completion());
  ASSERT_TRUE(rec.waitDone());

  const auto out = Recorder::bodies(rec.out());
  const std::vector<std::string> tail(out.end() - 4, out.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"Send command\n", "Send message[0]:F0 7E 7F 06 01 F7 \n",
                                            "Response received\n", "Progress: [1/1]\n\n"}));
  const std::string text = "F0 7E 00 06 02 00 2B 5E 17 00 02 00 30 31 32 33 F7\n\n";
  EXPECT_EQ(Recorder::count(rec.in(), "Received SysEx " + text + "\n", 0), 1);
  ASSERT_EQ(rec.texts().size(), textBaseline + 1);
  EXPECT_EQ(rec.texts().back().text, text);
  ASSERT_EQ(peer.received().size(), peerBaseline + 1);
  EXPECT_EQ(peer.received().back(), kIdentityRequest);
}

// The same exchange with a simulated pedal: a real pedal's identity reply,
// 17 bytes with its family, product and version characters.
TEST_F(ConsoleModel, IdentityRequestAnsweredBySimulatedPedal) {
  PedalSim::PedalConfig pedal;
  std::string error;
  ASSERT_TRUE(PedalSim::parsePedal("type=1303 version=2.15", 0, pedal, error)) << error;
  PedalSim::SimHost host({pedal}, PedalSim::makeMidiTransport());
  ASSERT_TRUE(host.start(&error)) << error;
  const auto ports = host.openPorts();
  ASSERT_EQ(ports.size(), 1u);

  const int out = waitForPort(false, ports[0].in);
  const int in = waitForPort(true, ports[0].out);
  ASSERT_NE(out, 0);
  ASSERT_NE(in, 0);
  // Opening our output adds a port to the input list; the input picked from
  // the list as it was shown must still be the one that opens.
  model->selectOutPort(out);
  ASSERT_EQ(model->getSelectedOutput(), out);
  model->selectInPort(in);
  ASSERT_EQ(model->getSelectedInput(), in);
  EXPECT_GE(Recorder::count(rec.in(), "Open port: " + model->getInPort(in - 1) + "[in]\n", 1), 1);
  model->setSendType(true);
  // A new JACK link can lose its first messages: ask again until answered.
  bool answered = false;
  for (int attempt = 0; attempt < 20 && !answered; ++attempt) {
    Recorder done;
    model->send("F0 7E 7F 06 01 F7", done.completion());
    ASSERT_TRUE(done.waitDone());
    answered = !rec.texts().empty();
  }
  host.stop();
  ASSERT_TRUE(answered);

  EXPECT_GE(Recorder::count(rec.out(), "Response received\n", 1), 1);
  const auto texts = rec.texts();
  ASSERT_FALSE(texts.empty());
  // F0 7E <id> 06 02 <maker x3> <family x2> <model x2> <version x4> F7
  const std::string& reply = texts.front().text;
  EXPECT_EQ(reply.substr(0, 12), "F0 7E 00 06 ");
  EXPECT_NE(reply.find(" 13 00 03 00 "), std::string::npos) << reply;
  EXPECT_EQ(reply.size(), 17u * 3 - 1 + 2) << reply;
  EXPECT_EQ(Recorder::count(rec.in(), "Received SysEx " + reply + "\n", 0), 1);
}

TEST_F(ConsoleModel, WaitingTimesOutAndGoesOn) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  connectTo(peer);
  model->setSendType(true);
  model->send("F0 01 F7\nF0 02 F7", rec.completion());
  ASSERT_TRUE(rec.waitDone());
  EXPECT_EQ(Recorder::count(rec.out(), "Response timed out\n", 2), 2);
  EXPECT_EQ(Recorder::count(rec.out(), "All messages sent\n", 0), 1);
  ASSERT_TRUE(peer.waitForReceived(peerBaseline + 2, 10s));
  EXPECT_EQ(peer.received().size(), peerBaseline + 2);
}

TEST_F(ConsoleModel, DelayingInsteadOfWaiting) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  connectTo(peer, false);
  model->setSendType(false);
  model->setDelayTime(true, 250);
  const auto start = std::chrono::steady_clock::now();
  model->send("F0 01 F7\nF0 02 F7\nF0 03 F7", rec.completion());
  ASSERT_TRUE(rec.waitDone());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);

  const auto out = rec.out();
  EXPECT_EQ(Recorder::count(out, "Delay 250ms\n", 0), 3);
  EXPECT_EQ(Recorder::count(out, "Response timed out\n", 2), 0);
  for (const char* p : {"Progress: [1/3]\n\n", "Progress: [2/3]\n\n", "Progress: [3/3]\n\n"})
    EXPECT_EQ(Recorder::count(out, p, 0), 1) << p;
  EXPECT_EQ(Recorder::bodies(out).back(), "All messages sent\n");
  const std::vector<float> expected{1.0f / 3, 2.0f / 3, 1.0f, 1.0f};
  const auto progress = rec.progress();
  ASSERT_EQ(progress.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(progress[i], expected[i]);
  ASSERT_TRUE(peer.waitForReceived(peerBaseline + 3, 10s));
  EXPECT_EQ(peer.received()[peerBaseline + 2], (MidiBytes{0xF0, 0x03, 0xF7}));
}

TEST_F(ConsoleModel, CancelStopsAfterTheCurrentMessage) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  connectTo(peer, false);
  model->setSendType(false);
  model->setDelayTime(true, 300);
  std::string text;
  for (int i = 0; i < 10; ++i) text += "F0 0" + std::to_string(i) + " F7\n";
  model->send(text, rec.completion());
  ASSERT_TRUE(rec.waitFor([&] { return !rec.progress().empty(); }));
  model->cancel();
  ASSERT_TRUE(rec.waitDone());

  const auto progress = rec.progress();
  EXPECT_LT(progress.back(), 1.0f);  // a stopped send does not report a full bar
  EXPECT_EQ(Recorder::count(rec.out(), "Sending stopped\n", 2), 1);
  EXPECT_EQ(Recorder::count(rec.out(), "All messages sent\n", 0), 0);
  std::this_thread::sleep_for(200ms);
  const size_t sent = peer.received().size() - peerBaseline;
  EXPECT_GE(sent, 1u);
  EXPECT_LT(sent, 10u);

  // The cancel is over once the stopped send has ended: the next one runs whole.
  Recorder again;
  model->setDelayTime(false, 0);
  model->send("F0 01 F7\nF0 02 F7", again.completion());
  ASSERT_TRUE(again.waitDone());
  EXPECT_FLOAT_EQ(again.progress().back(), 1.0f);
}

TEST_F(ConsoleModel, VanishedInputIsClosed) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  connectTo(peer);
  const std::string name = peer.outputPortName();
  const int callsBefore = rec.portListCalls();
  peer.vanish();
  ASSERT_TRUE(rec.waitFor([&] { return model->getSelectedInput() == 0 && rec.portListCalls() > callsBefore; }));
  EXPECT_EQ(Recorder::count(rec.in(), "Close port: " + name + "[in]\n", 2), 1);
  EXPECT_GT(rec.portListCalls(), callsBefore);
  for (int i = 0; i < model->getInPortCount(); ++i) EXPECT_NE(model->getInPort(i), name);
}

TEST_F(ConsoleModel, PortIndexOutOfRangeLeavesNothingSelected) {
  ASSERT_TRUE(rec.waitFor([&] { return rec.portListCalls() > 0; }));
  model->selectOutPort(model->getOutPortCount() + 5);
  EXPECT_EQ(model->getSelectedOutput(), 0);
  const auto out = rec.out();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(Recorder::bodies(out).back().rfind("Cannot open port: ", 0), 0u);
  EXPECT_EQ(out.back().kind, 2);
  EXPECT_EQ(model->getOutPort(-1), "");
  EXPECT_EQ(model->getOutPort(model->getOutPortCount()), "");
}

TEST(ConsoleFile, FileToMidiStringPutsEachMessageOnItsOwnLine) {
  const std::string path = ::testing::TempDir() + "console_two.syx";
  {
    std::ofstream f(path, std::ios::binary);
    const unsigned char bytes[] = {0xF0, 0x00, 0x2B, 0xF7, 0xF0, 0x7E, 0x01, 0xF7};
    f.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
  EXPECT_EQ(EngineeringViewModel::fileToMidiString(path), "F0 00 2B F7\n\nF0 7E 01 F7");
  EXPECT_EQ(EngineeringViewModel::fileToMidiString(path + ".missing"), "");
  std::remove(path.c_str());
}

}  // namespace
