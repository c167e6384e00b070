// 'velorin-update install' as a user runs it: a child process against
// simulated pedals on this process's JACK server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "UpdateTestBed.h"

namespace updater_test {
namespace {

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the command; onErrLine sees each line of its standard error as it
// comes and may return true to interrupt the command (SIGINT) once.
CliResult runInstall(const std::vector<std::string>& args,
                     const std::function<bool(const std::string&)>& onErrLine = {}) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    close(outPipe[0]);
    close(errPipe[0]);
    std::vector<std::string> all{VELORIN_UPDATE_PATH, "install", "--wait", "15"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  CliResult result;
  std::string line;
  bool interrupted = false;
  char c;
  while (read(errPipe[0], &c, 1) == 1) {
    result.err.push_back(c);
    if (c != '\n') {
      line.push_back(c);
      continue;
    }
    if (onErrLine && !interrupted && onErrLine(line)) {
      kill(child, SIGINT);
      interrupted = true;
    }
    line.clear();
  }
  char buffer[512];
  ssize_t n;
  while ((n = read(outPipe[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<size_t>(n));
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

class InstallCli : public UpdateTestBed {
 protected:
  void SetUp() override {
    UpdateTestBed::SetUp();
    // Only the command scans: the test's own scanner stays off.
    startPedals({"type=Fennick version=1.00", "type=Kesmet version=1.25"});
    Updater::DeviceScanner::Instance()->killDemon();
  }
};

TEST_F(InstallCli, FilesAreCheckedBeforeAnythingIsSent) {
  const std::string empty = dir.path() + "/empty_fwu.syx";
  velorin::test::TempDir other;
  const std::string foreign = other.writeBytes("foreign_fwu.syx", {0xF0, 0x41, 0x10, 0x42, 0x12, 0x00, 0xF7});
  std::FILE* f = std::fopen(empty.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  for (const std::string& bad : {dir.path() + "/missing_fwu.syx", empty, foreign}) {
    const CliResult r = runInstall({bad});
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Looking for pedals"), std::string::npos) << r.err;
  }
  EXPECT_EQ(runInstall({}).status, 64);
  EXPECT_EQ(runInstall({"--bogus", foreign}).status, 64);
  EXPECT_EQ(firmwareMessages(0) + firmwareMessages(1), 0u);
}

TEST_F(InstallCli, ChoosesThePedalAndRefusesFilesForAnotherOne) {
  const std::string fennick = firmware(0, "1.40");
  // Two pedals and no --esn: both are listed, nothing happens.
  CliResult r = runInstall({fennick});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find(esnString(0)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(esnString(1)), std::string::npos) << r.err;

  // A Fennick file for the Kesmet.
  r = runInstall({"--esn", esnString(1), fennick});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.err.find("another pedal"), std::string::npos) << r.err;
  EXPECT_EQ(firmwareMessages(1), 0u);

  r = runInstall({"--wait", "4", "--esn", "00000000000000", fennick});
  EXPECT_EQ(r.status, 3) << r.err;

  // The right pair: programmed, and the new version is read back.
  r = runInstall({"--esn", esnString(0), fennick});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("version 1.40"), std::string::npos) << r.out;
  EXPECT_EQ(userVersion(0), "1.40");
}

TEST_F(InstallCli, AFailedUpdateAndACancelledOneAreNotSuccess) {
  withPedal(1, [](PedalSim::PedalEngine& e) { e.faults().refuseAll = PedalSim::Faults::Bad; });
  CliResult r = runInstall({"--esn", esnString(1), firmware(1, "1.30", false, 4)});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("the update failed"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("version 1.25"), std::string::npos) << r.out;

  withPedal(1, [](PedalSim::PedalEngine& e) { e.faults().refuseAll = PedalSim::Faults::Good; });
  r = runInstall({"--esn", esnString(1), firmware(1, "1.31", false, 200)},
                 [](const std::string& line) { return line.rfind("Programming 2", 0) == 0; });
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_NE(r.err.find("cancelled"), std::string::npos) << r.err;
  EXPECT_NE(userVersion(1), "1.31");
}

}  // namespace
}  // namespace updater_test
