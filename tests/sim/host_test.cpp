// The host that runs pedals on ports, on an in-memory transport: ports close
// and reopen under the right names, chains share one port pair, events and
// summaries come out.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "SimHost.h"
#include "SimTestUtil.h"

using namespace simtest;
using namespace std::chrono_literals;

namespace {

class FakeTransport : public PedalSim::Transport {
 public:
  struct Pair {
    std::string in, out;
    Receiver receiver;
    std::vector<MidiBytes> sent;
    bool open = true;
  };

  std::unique_ptr<PedalSim::Endpoint> open(const std::string& in, const std::string& out, Receiver receiver,
                                           std::string*) override {
    auto pair = std::make_shared<Pair>();
    pair->in = in;
    pair->out = out;
    pair->receiver = std::move(receiver);
    std::lock_guard lock(mutex_);
    pairs_.push_back(pair);
    changed_.notify_all();
    return std::make_unique<FakeEndpoint>(this, pair);
  }

  // Waits until an open pair of that name exists; nullptr after 5 s.
  std::shared_ptr<Pair> waitOpen(const std::string& name) {
    std::unique_lock lock(mutex_);
    std::shared_ptr<Pair> found;
    changed_.wait_for(lock, 5s, [&] {
      for (auto& p : pairs_) {
        if (p->open && p->in == name) found = p;
      }
      return found != nullptr;
    });
    return found;
  }
  bool waitClosed(const std::shared_ptr<Pair>& pair) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return !pair->open; });
  }
  // Sends a message to the pedals behind a pair and waits for `count` replies.
  std::vector<MidiBytes> ask(const std::shared_ptr<Pair>& pair, const MidiBytes& message, size_t count) {
    size_t before;
    {
      std::lock_guard lock(mutex_);
      before = pair->sent.size();
    }
    pair->receiver(message);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return pair->sent.size() >= before + count; });
    return std::vector<MidiBytes>(pair->sent.begin() + static_cast<std::ptrdiff_t>(before), pair->sent.end());
  }

 private:
  class FakeEndpoint : public PedalSim::Endpoint {
   public:
    FakeEndpoint(FakeTransport* owner, std::shared_ptr<Pair> pair) : owner_(owner), pair_(std::move(pair)) {}
    ~FakeEndpoint() override {
      std::lock_guard lock(owner_->mutex_);
      pair_->open = false;
      owner_->changed_.notify_all();
    }
    bool send(const MidiBytes& bytes) override {
      std::lock_guard lock(owner_->mutex_);
      pair_->sent.push_back(bytes);
      owner_->changed_.notify_all();
      return true;
    }

   private:
    FakeTransport* owner_;
    std::shared_ptr<Pair> pair_;
  };

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Pair>> pairs_;
};

std::vector<PedalSim::PedalConfig> scenario(const std::string& text) {
  std::vector<PedalSim::PedalConfig> pedals;
  std::string error;
  EXPECT_TRUE(PedalSim::parseScenario(text, pedals, error)) << error;
  return pedals;
}

}  // namespace

TEST(SimHost, ResetClosesThePortsAndReopensThemUnderTheBootCodeName) {
  auto transport = std::make_shared<FakeTransport>();
  std::mutex logMutex;
  std::vector<std::string> log;
  PedalSim::SimHost host(scenario("type=1303 version=1.25\n"), transport, [&](const std::string& line) {
    std::lock_guard lock(logMutex);
    log.push_back(line);
  });
  std::string error;
  ASSERT_TRUE(host.start(&error)) << error;

  auto user = transport->waitOpen("Kesmet");
  ASSERT_TRUE(user);
  const auto id = transport->ask(user, bytes("F0 7E 7F 06 01 F7"), 1);
  ASSERT_EQ(id.size(), 1u);
  EXPECT_EQ(id[0][10], 0x03);

  const auto started = std::chrono::steady_clock::now();
  user->receiver(bytes("F0 00 2B 5E 13 03 1C 02 F7"));
  user->receiver(bytes("F0 00 2B 5E 13 03 1B 02 58 F7"));  // 344 ms
  EXPECT_TRUE(transport->waitClosed(user));
  auto boot = transport->waitOpen("Kesmet Update");
  ASSERT_TRUE(boot);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
  EXPECT_EQ(boot->out, "Kesmet Update");
  const auto bootId = transport->ask(boot, bytes("F0 7E 7F 06 01 F7"), 1);
  ASSERT_EQ(bootId.size(), 1u);
  EXPECT_EQ(bootId[0][10], 0x43);

  const auto summary = host.summary();
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_NE(summary[0].find("\"mode\":\"boot\""), std::string::npos);
  EXPECT_NE(summary[0].find("\"in_port\":\"Kesmet Update\""), std::string::npos);
  host.stop();
  EXPECT_TRUE(transport->waitClosed(boot));

  std::lock_guard lock(logMutex);
  auto has = [&](const std::string& text) {
    for (const auto& l : log) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("\"event\":\"in\",\"data\":\"F0 7E 7F 06 01 F7\""));
  EXPECT_TRUE(has("\"event\":\"out\""));
  EXPECT_TRUE(has("\"event\":\"select\",\"next\":\"boot\""));
  EXPECT_TRUE(has("\"event\":\"ports\",\"closed\":true"));
  EXPECT_TRUE(has("\"event\":\"state\",\"mode\":\"boot\""));
  for (const auto& l : log) EXPECT_EQ(l.rfind("{\"t_ms\":", 0), 0u) << l;
}

TEST(SimHost, ChainedPedalsShareOneInterfaceThatOutlivesTheirResets) {
  auto transport = std::make_shared<FakeTransport>();
  PedalSim::SimHost host(scenario("type=1702 port=\"USB MIDI Interface\"\n"
                                  "type=1706 port=\"USB MIDI Interface\"\n"
                                  "type=1303\n"),
                         transport);
  std::string error;
  ASSERT_TRUE(host.start(&error)) << error;
  auto pair = transport->waitOpen("USB MIDI Interface");
  ASSERT_TRUE(pair);
  EXPECT_EQ(host.openPorts().size(), 2u);

  const auto ids = transport->ask(pair, bytes("F0 7E 7F 06 01 F7"), 2);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0][10], 0x02);
  EXPECT_EQ(ids[1][10], 0x06);
  // Addressed requests reach only their pedal.
  const auto esn = transport->ask(pair, bytes("F0 00 2B 5E 17 06 21 F7"), 1);
  ASSERT_EQ(esn.size(), 1u);
  EXPECT_EQ(esn[0][5], 0x06);

  pair->receiver(bytes("F0 00 2B 5E 17 02 1C 02 F7"));
  const auto boot = transport->ask(pair, bytes("F0 00 2B 5E 17 02 1B 01 00 F7"), 0);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(pair->open) << "an interface keeps its ports";
  const auto whileResetting = transport->ask(pair, bytes("F0 7E 7F 06 01 F7"), 1);
  ASSERT_EQ(whileResetting.size(), 1u) << "only the pedal that did not reset answers";
  EXPECT_EQ(whileResetting[0][10], 0x06);
  std::this_thread::sleep_for(300ms);
  const auto after = transport->ask(pair, bytes("F0 7E 7F 06 01 F7"), 2);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0][10], 0x42);
}

TEST(SimHost, FaultsCanBeSwitchedWhileRunning) {
  auto transport = std::make_shared<FakeTransport>();
  PedalSim::SimHost host(scenario("type=1303\n"), transport);
  std::string error;
  ASSERT_TRUE(host.start(&error)) << error;
  auto pair = transport->waitOpen("Kesmet");
  ASSERT_TRUE(pair);
  host.withPedal(0, [](PedalSim::PedalEngine& e) { e.faults().vanishAfter = e.messagesIn() + 1; });
  EXPECT_EQ(transport->ask(pair, bytes("F0 7E 7F 06 01 F7"), 1).size(), 1u);
  EXPECT_TRUE(transport->waitClosed(pair)) << "vanished after the next message";
  EXPECT_TRUE(host.openPorts().empty());
}
