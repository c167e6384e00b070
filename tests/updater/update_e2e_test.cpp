// Whole updates over MIDI: the update controller and the real scanner against
// simulated pedals on JACK, with synthetic firmware.
#include <gtest/gtest.h>

#include <atomic>

#include "UpdateTestBed.h"
#include "Updater/DFUData.h"
#include "Updater/FwUpdateViewController.h"

using Updater::DFUData;
using Updater::FwUpdateViewController;
using PedalSim::Mode;

namespace updater_test {
namespace {

class UpdateE2E : public UpdateTestBed {
 protected:
  void SetUp() override {
    UpdateTestBed::SetUp();
    // Generous enough for a loaded machine, short enough for a lost pedal.
    controller.setFindAttempts(40);
    controller.setProgrammerStatusCallback([this](std::string text, float progress) {
      std::lock_guard<std::mutex> guard(statusMutex);
      statuses.push_back(text);
      if (onStatus) onStatus(text, progress);
    });
  }

  bool local(int index, const std::vector<std::string>& files) {
    EXPECT_TRUE(waitListed(index));
    Updater::DeviceScanner::Instance()->pause();
    DFUData dfu;
    return controller.doLocalUpdate(esn(index), files, dfu);
  }
  bool sawStatus(const std::string& text) {
    std::lock_guard<std::mutex> guard(statusMutex);
    return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
  }

  FwUpdateViewController controller;
  std::mutex statusMutex;
  std::vector<std::string> statuses;                      // guarded by statusMutex
  std::function<void(const std::string&, float)> onStatus;  // set before the run
};

// A family 0x17 pedal takes its files while its user code runs, each message
// acknowledged; the user-code file goes first whatever the order given, and
// the closing reset brings up the new version.
TEST_F(UpdateE2E, Family17PedalIsProgrammedInUserCodeUserFileFirst) {
  startPedals({"type=Fennick version=1.00 dsp=1.00"});
  const std::string dsp = firmware(0, "1.10", true);
  const std::string user = firmware(0, "1.40");
  ASSERT_TRUE(local(0, {dsp, user})) << controller.lastError();

  EXPECT_EQ(userVersion(0), "1.40");
  EXPECT_EQ(mode(0), Mode::User);
  EXPECT_TRUE(sawStatus("Programming 100%"));
  // begin, erase, 12 data, check for each file; tails are not sent.
  EXPECT_EQ(firmwareMessages(0), 2u * 15u);
  const auto flash = events(0, "flash");
  ASSERT_FALSE(flash.empty());
  EXPECT_NE(flash.front().find("\"region\":\"user\""), std::string::npos) << flash.front();
  bool dspValid = false;
  for (const auto& line : flash)
    dspValid |= line.find("\"region\":\"dsp\"") != std::string::npos &&
                line.find("\"version\":\"1.10\"") != std::string::npos &&
                line.find("\"valid\":true") != std::string::npos;
  EXPECT_TRUE(dspValid);
}

// A family 0x13 pedal is switched to its boot code, found again by its ESN
// under its boot code's ports, programmed (a fifth of the acknowledgements
// never arrive and are made up for by retries) and switched back.
TEST_F(UpdateE2E, BootCodePedalIsSwitchedProgrammedAndReturnedDespiteDroppedAcks) {
  startPedals({"type=Kesmet version=1.25 drop=0.2 seed=7"});
  const std::string file = firmware(0, "1.30", false, 20);
  ASSERT_TRUE(local(0, {file})) << controller.lastError();
  EXPECT_EQ(userVersion(0), "1.30");
  EXPECT_EQ(mode(0), Mode::User);
  EXPECT_GT(acksDropped(0), 0u);
  EXPECT_TRUE(sawStatus("Finishing"));
  ASSERT_NE(controller.device(), nullptr);
  EXPECT_EQ(controller.device()->pid, 0x03);  // found again in user code
}

// A pedal left in its boot code by an earlier failed update is programmed
// there and started in its user code.
TEST_F(UpdateE2E, PedalStuckInBootCodeIsRecovered) {
  startPedals({"type=Dorvik version=1.00 valid=0"});
  ASSERT_EQ(mode(0), Mode::Boot);
  ASSERT_TRUE(local(0, {firmware(0, "1.05")})) << controller.lastError();
  EXPECT_EQ(mode(0), Mode::User);
  EXPECT_EQ(userVersion(0), "1.05");
}

TEST_F(UpdateE2E, Family12PedalIsUpdatedThroughItsBootControl) {
  startPedals({"type=Quenda version=1.10"});
  const std::string file = firmware(0, "1.20");
  ASSERT_TRUE(waitListed(0));
  Updater::DeviceScanner::Instance()->pause();
  std::vector<std::string> reports;
  ASSERT_TRUE(controller.doVentrixUpdate(file, esn(0), [&](float, std::string text, bool) {
    reports.push_back(text);
  })) << controller.lastError();
  Updater::DeviceScanner::Instance()->reset();
  EXPECT_EQ(userVersion(0), "1.20");
  EXPECT_EQ(mode(0), Mode::User);
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports[0], "Enabling update mode");
  EXPECT_EQ(reports.back(), "Programming 100%");
}

// Refused messages fail the run; the pedal is still returned to its user
// code, which it keeps because nothing was written.
TEST_F(UpdateE2E, RefusedMessagesFailTheUpdate) {
  startPedals({"type=Kesmet version=1.25 refuse=all:bad"});
  EXPECT_FALSE(local(0, {firmware(0, "1.30", false, 4)}));
  EXPECT_EQ(controller.lastError(), "programming failed");
  EXPECT_TRUE(sawStatus("Write failed"));
  EXPECT_EQ(mode(0), Mode::User);
  EXPECT_EQ(userVersion(0), "1.25");
}

// The pedal disappears (ports and all) in the middle of programming.
TEST_F(UpdateE2E, PedalVanishingDuringProgrammingIsAFailure) {
  startPedals({"type=Kesmet version=1.25"});
  controller.setFindAttempts(8);
  std::atomic<bool> pulled{false};
  onStatus = [&](const std::string&, float progress) {
    if (progress >= 0.3f && !pulled.exchange(true))
      withPedal(0, [](PedalSim::PedalEngine& e) { e.faults().vanishAfter = e.messagesIn() + 1; });
  };
  EXPECT_FALSE(local(0, {firmware(0, "1.30", false, 20)}));
  EXPECT_TRUE(pulled.load());
  EXPECT_NE(controller.lastError(), "");
}

// Cancelled in the middle: the run fails; the half-written pedal comes back
// in its boot code, ready for another try.
TEST_F(UpdateE2E, CancelDuringProgrammingEndsTheRunAsCancelled) {
  startPedals({"type=Kesmet version=1.25"});
  onStatus = [&](const std::string&, float progress) {
    if (progress >= 0.3f) controller.cancel();
  };
  EXPECT_FALSE(local(0, {firmware(0, "1.30", false, 20)}));
  EXPECT_EQ(controller.lastError(), "cancelled");
  EXPECT_LT(firmwareMessages(0), 23u);
  EXPECT_NE(userVersion(0), "1.30");
}

}  // namespace
}  // namespace updater_test
