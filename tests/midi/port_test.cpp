#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>
#include <mutex>
#include <string>
#include <thread>

#include "JackTest.h"
#include "Updater/Port.h"
#include "Utils/Trace.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velorin::test::MidiPeer;

// Lock behaviour is the base class's alone; no MIDI service needed.
class BarePort : public Updater::Port {
 public:
  BarePort() : Port("bare", 0, Updater::PortDirection::Out) {}
  bool open() override { return true; }
  bool close() override { return true; }
  bool isOpened() override { return false; }
};

TEST(PortLock, GivesUpAfterAbout400MsWhileAnotherThreadHoldsThePort) {
  BarePort port;
  ASSERT_TRUE(port.lock());

  auto attempt = std::async(std::launch::async, [&port] {
    const auto begin = Clock::now();
    const bool locked = port.lock();
    // unlock() after the failed lock must not release the holder's lock.
    port.unlock();
    return std::make_pair(locked, Clock::now() - begin);
  });
  auto [locked, waited] = attempt.get();
  EXPECT_FALSE(locked);
  EXPECT_GE(waited, 350ms);

  // Still held by this thread: another thread still cannot take it...
  EXPECT_FALSE(std::async(std::launch::async, [&port] { return port.lock(); }).get());
  // ...until this thread lets go.
  port.unlock();
  EXPECT_TRUE(std::async(std::launch::async, [&port] {
                bool ok = port.lock();
                port.unlock();
                return ok;
              }).get());
}

TEST(PortLock, WaitingThreadGetsThePortWhenItIsReleased) {
  BarePort port;
  ASSERT_TRUE(port.lock());
  auto attempt = std::async(std::launch::async, [&port] {
    const bool ok = port.lock();
    port.unlock();
    return ok;
  });
  std::this_thread::sleep_for(50ms);
  port.unlock();
  EXPECT_TRUE(attempt.get());
}

TEST(PortLock, HolderLockingAgainFailsInsteadOfDeadlocking) {
  BarePort port;
  ASSERT_TRUE(port.lock());
  EXPECT_FALSE(port.lock());
  port.unlock();
  EXPECT_TRUE(port.lock());
  port.unlock();
}

class MidiPortTest : public velorin::test::JackTest {};

TEST_F(MidiPortTest, ClosingANeverOpenedPortSucceedsAndReleasesIt) {
  Updater::MidiPortIn in("never opened", 0);
  Updater::MidiPortOut out("never opened", 0);
  EXPECT_FALSE(in.isOpened());
  EXPECT_TRUE(in.close());
  EXPECT_TRUE(out.close());
  EXPECT_TRUE(in.close());  // nothing left to close
  // The RtMidi objects are gone: the ports cannot be opened again.
  EXPECT_FALSE(in.open());
  EXPECT_FALSE(out.open());
  EXPECT_FALSE(out.send({0xF0, 0x7E, 0xF7}));
}

TEST_F(MidiPortTest, OpensThePeerByNameAndIndexAndClosesAgain) {
  MidiPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  auto in = peer.makeInputPort();
  auto out = peer.makeOutputPort();
  ASSERT_TRUE(in && out);
  EXPECT_EQ(in->getDirection(), Updater::PortDirection::In);
  EXPECT_EQ(out->getDirection(), Updater::PortDirection::Out);
  EXPECT_TRUE(in->open());
  EXPECT_TRUE(in->open());  // already open
  EXPECT_TRUE(out->open());
  EXPECT_TRUE(in->isOpened());
  EXPECT_TRUE(out->isOpened());
  EXPECT_TRUE(in->close());
  EXPECT_TRUE(out->close());
  EXPECT_FALSE(in->isOpened());
  EXPECT_FALSE(out->isOpened());
}

TEST_F(MidiPortTest, PortWhoseNameIsNoLongerListedIsNeverOpened) {
  MidiPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  const unsigned int inIndex = peer.indexForInputPort().value();
  const unsigned int outIndex = peer.indexForOutputPort().value();

  struct Case {
    const char* what;
    unsigned int inIndex, outIndex;
  };
  const Case cases[] = {
      {"index past the end", 1000, 1000},
      {"index now carries another port", inIndex, outIndex},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Updater::MidiPortIn in("velorin-gone:port", c.inIndex);
    Updater::MidiPortOut out("velorin-gone:port", c.outIndex);
    EXPECT_FALSE(in.open());
    EXPECT_FALSE(out.open());
    EXPECT_FALSE(in.isOpened());
    EXPECT_FALSE(out.send({0xF0, 0xF7}));
  }

  // The device goes away between listing and opening.
  auto in = peer.makeInputPort();
  auto out = peer.makeOutputPort();
  ASSERT_TRUE(in && out);
  peer.vanish();
  EXPECT_FALSE(in->open());
  EXPECT_FALSE(out->open());
}

// Messages a port delivered to its receiver.
struct Inbox {
  std::mutex mutex;
  std::vector<MidiBytes> messages;  // guarded by mutex

  static void receive(double, std::vector<unsigned char>* message, void* inbox) {
    auto* self = static_cast<Inbox*>(inbox);
    std::lock_guard<std::mutex> guard(self->mutex);
    self->messages.emplace_back(message->begin(), message->end());
  }
  size_t size() {
    std::lock_guard<std::mutex> guard(mutex);
    return messages.size();
  }
};

// A fresh JACK link may drop what is sent before it takes effect: repeat the
// sending until the other side has something, for at most five seconds.
template <typename Send, typename Arrived>
bool sendUntilArrived(Send send, Arrived arrived) {
  for (int i = 0; i < 50; ++i) {
    if (!send()) return false;
    for (int j = 0; j < 10; ++j) {
      if (arrived()) return true;
      std::this_thread::sleep_for(10ms);
    }
  }
  return false;
}

TEST_F(MidiPortTest, RenumberedPortIsFoundAgainByName) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  // Recorded under a number that now belongs to no port (ports before it went away).
  Updater::MidiPortOut out(peer.inputPortName(), 1000);
  ASSERT_TRUE(out.open());
  ASSERT_TRUE(sendUntilArrived([&] { return out.send({0xF0, 0x7D, 0x11, 0xF7}); },
                               [&] { return !peer.received().empty(); }));
  EXPECT_EQ(peer.received().front(), (MidiBytes{0xF0, 0x7D, 0x11, 0xF7}));
}

// Collects the core's trace lines.
class TraceCapture {
 public:
  TraceCapture() {
    Trace::setSink([this](std::string_view text) {
      std::lock_guard<std::mutex> guard(mutex_);
      text_ += text;
    });
  }
  ~TraceCapture() { Trace::resetSink(); }
  std::string text() {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::string text_;
};

TEST_F(MidiPortTest, EveryMessageInAndOutIsTracedAndDelivered) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  auto in = peer.makeInputPort();
  auto out = peer.makeOutputPort();
  ASSERT_TRUE(in && in->open() && out && out->open());

  TraceCapture trace;
  Inbox inbox;
  ASSERT_TRUE(in->setCallback(&Inbox::receive, &inbox));
  const MidiBytes request = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  const MidiBytes answer = {0xF0, 0x00, 0x2B, 0x0A, 0xF7};
  ASSERT_TRUE(sendUntilArrived([&] { return out->send(request); },
                               [&] { return !peer.received().empty(); }));
  ASSERT_TRUE(sendUntilArrived([&] { return peer.send(answer); }, [&] { return inbox.size() > 0; }));
  in->cancelCallback();
  {
    std::lock_guard<std::mutex> guard(inbox.mutex);
    EXPECT_EQ(inbox.messages.front(), answer);
  }
  EXPECT_EQ(peer.received().front(), request);

  const std::string text = trace.text();
  EXPECT_NE(text.find("<<  F0 7E 7F 06 01 F7 \n"), std::string::npos) << text;
  EXPECT_NE(text.find(">>  F0 00 2B 0A F7 \n"), std::string::npos) << text;
}

TEST_F(MidiPortTest, CancelledReceiverIsNeverCalledAgain) {
  MidiPeer peer(MidiPeer::Mode::Silent);
  ASSERT_TRUE(peer.ok()) << peer.error();
  auto in = peer.makeInputPort();
  ASSERT_TRUE(in && in->open());
  Inbox inbox;
  ASSERT_TRUE(in->setCallback(&Inbox::receive, &inbox));
  in->cancelCallbackFor(&peer);  // someone else's user data: the receiver stays
  ASSERT_TRUE(sendUntilArrived([&] { return peer.send({0x90, 0x40, 0x7F}); },
                               [&] { return inbox.size() > 0; }));

  in->cancelCallbackFor(&inbox);
  std::this_thread::sleep_for(100ms);  // stragglers of the repeated sending
  const size_t before = inbox.size();
  ASSERT_TRUE(peer.send({0x80, 0x40, 0x00}));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(inbox.size(), before);
  EXPECT_TRUE(in->isOpened());
}

}  // namespace
