#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "JackTest.h"
#include "Updater/MidiConnection.h"
#include "Updater/plugins/Ventrix/VxMidiTrigger.h"
#include "Utils/Trace.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velorin::test::MidiPeer;

// F0 7E 7F 06 01 F7: universal identity request.
const MidiBytes kIdentityRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
// A maker reply: F0 00 2B 5E <fam> <prod> 2E <4 data bytes> F7.
const MidiBytes kMakerReply = {0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2E, 0x00, 0x01, 0x02, 0x03, 0xF7};
const MidiBytes kMakerRequest = {0xF0, 0x00, 0x2B, 0x5E, 0x17, 0x01, 0x2E, 0xF7};
const char* const kMakerPattern = "F0 00 2B 5E .. .. 2E .. .. .. .. F7";
// Answered with kPong by the peers below; used to know that everything the
// peer sent before has reached the connection (a port delivers in order).
const MidiBytes kPing = {0xF0, 0x7D, 0x01, 0xF7};
const MidiBytes kPong = {0xF0, 0x7D, 0x02, 0xF7};

constexpr int kReplyTimeoutMs = 5000;  // ample on a loaded machine
constexpr int kSilenceTimeoutMs = 500;

class MidiConnectionTest : public velorin::test::JackTest {
 protected:
  void SetUp() override {
    JackTest::SetUp();
    peer_ = std::make_unique<MidiPeer>(MidiPeer::Mode::Reply);
    ASSERT_TRUE(peer_->ok()) << peer_->error();
    peer_->addReply(kPing, kPong);
    connection_ = peer_->connect();
    ASSERT_TRUE(connection_);
    ASSERT_TRUE(connection_->isConnectionOpened());
  }

  // Waits until every message the peer sent so far has reached the
  // connection: the peer's output delivers in order, so once a pong came back
  // everything the peer sent before the ping is in. A plain request returns
  // the first message after it, which may be one sent earlier: ask again.
  void drain() {
    for (int attempt = 0; attempt < 20; ++attempt) {
      MidiBytes reply;
      ASSERT_TRUE(connection_->sendAndWait(kPing, &reply, kReplyTimeoutMs));
      if (reply == kPong) return;
    }
    FAIL() << "no pong";
  }

  std::unique_ptr<MidiPeer> peer_;
  std::shared_ptr<Updater::MidiConnection> connection_;
};

TEST_F(MidiConnectionTest, IsAMidiConnectionAndNotExclusive) {
  EXPECT_EQ(connection_->getKind(), Updater::Connection::kKindMidi);
  EXPECT_FALSE(connection_->isExclusive());
  connection_->setExclusive(true);
  EXPECT_TRUE(connection_->isExclusive());
}

TEST_F(MidiConnectionTest, PlainSendAndWaitReturnsTheFirstMessageOrTimesOut) {
  struct Case {
    const char* what;
    MidiPeer::Mode mode;
    bool answered;
    MidiBytes expected;
  };
  const Case cases[] = {
      {"device replies", MidiPeer::Mode::Reply, true, kMakerReply},
      {"loop echoes the request", MidiPeer::Mode::Echo, true, kIdentityRequest},
      {"device stays silent", MidiPeer::Mode::Silent, false, {}},
  };
  peer_->addReply(kIdentityRequest, kMakerReply);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    peer_->setMode(c.mode);
    MidiBytes reply = {0x12, 0x34};  // must be cleared
    const int timeout = c.answered ? kReplyTimeoutMs : kSilenceTimeoutMs;
    const auto begin = Clock::now();
    EXPECT_EQ(connection_->sendAndWait(kIdentityRequest, &reply, timeout), c.answered);
    EXPECT_EQ(reply, c.expected);
    if (!c.answered) {
      EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(kSilenceTimeoutMs - 50));
    }
  }
  EXPECT_EQ(peer_->received().size(), 3u);
}

TEST_F(MidiConnectionTest, TriggerSendAndWaitWaitsForAMatchingReply) {
  struct Case {
    const char* what;
    MidiPeer::Mode mode;
    bool accepted;
  };
  const Case cases[] = {
      {"matching reply", MidiPeer::Mode::Reply, true},
      // The echo of the request agrees with the pattern but is not a reply.
      {"echo only", MidiPeer::Mode::Echo, false},
      {"silence", MidiPeer::Mode::Silent, false},
  };
  peer_->addReply(kMakerRequest, kMakerReply);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    peer_->setMode(c.mode);
    auto trigger = std::make_shared<VxMidiTrigger>("F0 00 2B 5E");
    const int timeout = c.accepted ? kReplyTimeoutMs : kSilenceTimeoutMs;
    EXPECT_EQ(connection_->sendAndWait(kMakerRequest, trigger, timeout, true), c.accepted);
    VxMidiData reply;
    EXPECT_EQ(trigger->dequeue(reply), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(reply.bytes(), kMakerReply);
    }
  }
}

TEST_F(MidiConnectionTest, TriggerKeptAttachedCollectsLaterMessagesUntilReleasedOrReplaced) {
  peer_->addReply(kMakerRequest, kMakerReply);
  auto kept = std::make_shared<VxMidiTrigger>(kMakerPattern);
  ASSERT_TRUE(connection_->sendAndWait(kMakerRequest, kept, kReplyTimeoutMs, false));
  EXPECT_EQ(kept->acceptedCount(), 1);

  // An unsolicited message that agrees with the pattern reaches the kept trigger.
  ASSERT_TRUE(peer_->send(kMakerReply));
  drain();
  EXPECT_EQ(kept->acceptedCount(), 2);

  // A request with release true drops its own trigger afterwards.
  auto released = std::make_shared<VxMidiTrigger>(kMakerPattern);
  ASSERT_TRUE(connection_->sendAndWait(kMakerRequest, released, kReplyTimeoutMs, true));
  ASSERT_TRUE(peer_->send(kMakerReply));
  drain();
  EXPECT_EQ(released->acceptedCount(), 1);
  EXPECT_EQ(kept->acceptedCount(), 2);  // replaced by the second request
}

TEST_F(MidiConnectionTest, SendWithoutResponseDetachesTheTrigger) {
  peer_->addReply(kMakerRequest, kMakerReply);
  auto trigger = std::make_shared<VxMidiTrigger>(kMakerPattern);
  ASSERT_TRUE(connection_->sendAndWait(kMakerRequest, trigger, kReplyTimeoutMs, false));
  ASSERT_EQ(trigger->acceptedCount(), 1);

  EXPECT_TRUE(connection_->sendWithoutResponse({0xF0, 0x7D, 0x7F, 0xF7}));
  ASSERT_TRUE(peer_->waitForReceived(2, 5s));
  EXPECT_EQ(peer_->received().back(), (MidiBytes{0xF0, 0x7D, 0x7F, 0xF7}));
  ASSERT_TRUE(peer_->send(kMakerReply));
  drain();
  EXPECT_EQ(trigger->acceptedCount(), 1);
}

TEST_F(MidiConnectionTest, DeactivatedConnectionFailsAtOnceWithoutSending) {
  std::string trace;
  std::mutex traceMutex;
  Trace::setSink([&](std::string_view text) {
    std::lock_guard<std::mutex> guard(traceMutex);
    trace += text;
  });
  connection_->deactivate();
  Trace::resetSink();
  EXPECT_NE(trace.find("Connection deactivated " + std::to_string(connection_->getId())),
            std::string::npos)
      << trace;
  EXPECT_FALSE(connection_->isConnectionOpened());
  EXPECT_EQ(connection_->getInputPort(), nullptr);
  EXPECT_EQ(connection_->getOutputPort(), nullptr);

  constexpr int kLongTimeoutMs = 30000;
  const auto begin = Clock::now();
  MidiBytes reply = {0x01};
  EXPECT_FALSE(connection_->sendAndWait(kIdentityRequest, &reply, kLongTimeoutMs));
  EXPECT_TRUE(reply.empty());
  auto trigger = std::make_shared<VxMidiTrigger>("F0");
  EXPECT_FALSE(connection_->sendAndWait(kIdentityRequest, trigger, kLongTimeoutMs, true));
  EXPECT_FALSE(connection_->sendWithoutResponse(kIdentityRequest));
  // "At once": far below the time-out, whatever the machine's speed.
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(kLongTimeoutMs / 3));

  connection_->deactivate();  // twice is harmless
  EXPECT_TRUE(peer_->received().empty());
}

TEST_F(MidiConnectionTest, FailedSendClosesBothPortsSoLaterRequestsFailAtOnce) {
  // The output port was closed behind the connection's back (the scanner's
  // reset closes ports that connections still hold).
  std::shared_ptr<Updater::MidiPortOut> out = connection_->getOutputPort();
  std::shared_ptr<Updater::MidiPortIn> in = connection_->getInputPort();
  ASSERT_TRUE(out->close());
  EXPECT_FALSE(connection_->sendWithoutResponse(kIdentityRequest));
  EXPECT_EQ(connection_->getOutputPort(), nullptr);
  EXPECT_EQ(connection_->getInputPort(), nullptr);
  EXPECT_FALSE(in->isOpened());
  MidiBytes reply;
  EXPECT_FALSE(connection_->sendAndWait(kIdentityRequest, &reply, 30000));
  EXPECT_TRUE(peer_->received().empty());
}

TEST_F(MidiConnectionTest, EmptyOrNullRequestFailsAndKeepsTheConnection) {
  MidiBytes reply;
  EXPECT_FALSE(connection_->sendAndWait(MidiBytes{}, &reply, 30000));
  EXPECT_FALSE(connection_->sendAndWait(kIdentityRequest, nullptr, 30000, true));
  EXPECT_FALSE(connection_->sendWithoutResponse(MidiBytes{}));
  EXPECT_TRUE(connection_->isConnectionOpened());
  drain();
}

TEST_F(MidiConnectionTest, PeerVanishingMidRequestGivesFalseWithoutHanging) {
  peer_->vanishOnNextRequest();
  MidiBytes reply;
  EXPECT_FALSE(connection_->sendAndWait(kIdentityRequest, &reply, kSilenceTimeoutMs));
  EXPECT_TRUE(reply.empty());
  // Later requests into the void fail the same way.
  auto trigger = std::make_shared<VxMidiTrigger>("F0");
  EXPECT_FALSE(connection_->sendAndWait(kIdentityRequest, trigger, kSilenceTimeoutMs, true));
  connection_->deactivate();
  EXPECT_FALSE(connection_->isConnectionOpened());
}

TEST_F(MidiConnectionTest, ConnectionGoneBeforeItsPortIsNeverCalled) {
  std::shared_ptr<Updater::MidiPortIn> in = connection_->getInputPort();
  connection_.reset();
  // The port lives on (the scanner keeps it); messages keep arriving.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(peer_->send(kMakerReply));
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(in->isOpened());
}

TEST_F(MidiConnectionTest, SetSelfCallbackMovesTheInputToTheNewConnection) {
  auto other = std::make_shared<Updater::MidiConnection>(connection_->getInputPort(),
                                                         connection_->getOutputPort());
  ASSERT_TRUE(other->setSelfCallback());
  peer_->addReply(kMakerRequest, kMakerReply);
  MidiBytes reply;
  ASSERT_TRUE(other->sendAndWait(kMakerRequest, &reply, kReplyTimeoutMs));
  EXPECT_EQ(reply, kMakerReply);
  // The first connection hears nothing any more.
  auto trigger = std::make_shared<VxMidiTrigger>(kMakerPattern);
  EXPECT_FALSE(connection_->sendAndWait(kMakerRequest, trigger, kSilenceTimeoutMs, true));
}

}  // namespace
