#include "scan/reply_watchdog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace kestreye {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct ChildRun {
  std::string out;
  int status = -1;
  Clock::duration elapsed{};
};

// Runs `body` in a child process whose standard output is captured.
ChildRun inChild(const std::function<void()>& body) {
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    dup2(pipeFds[1], STDOUT_FILENO);
    body();
    _exit(3);
  }
  close(pipeFds[1]);
  ChildRun run;
  char buffer[256];
  ssize_t n = 0;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    run.out.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int raw = 0;
  waitpid(child, &raw, 0);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.elapsed = Clock::now() - start;
  return run;
}

TEST(ReplyWatchdogTest, ABlockedScanGetsTheReplyOfItsStepOnce) {
  const ChildRun run = inChild([] {
    std::atomic<ScanStep> step{ScanStep::Starting};
    ReplyWatchdog watchdog(Clock::now() + milliseconds(100), step);
    step = ScanStep::FindingApplication;
    // Blocked far past the deadline; a late reply of its own is refused.
    std::this_thread::sleep_for(milliseconds(3000));
    watchdog.writeClaimed("late\n");
    _exit(0);
  });
  EXPECT_EQ(run.out,
            "{\"success\":false,\"error\":\"No frontmost application\"}\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_LT(run.elapsed, milliseconds(1500));
}

TEST(ReplyWatchdogTest, AScanThatAnswersInTimeIsTheOnlyReply) {
  const ChildRun run = inChild([] {
    std::atomic<ScanStep> step{ScanStep::Gathering};
    {
      ReplyWatchdog watchdog(Clock::now() + milliseconds(100), step);
      watchdog.writeClaimed("{\"success\":true,\"ui_block\":\"x\"}\n");
      std::this_thread::sleep_for(milliseconds(300));
    }
    _exit(0);
  });
  EXPECT_EQ(run.out, "{\"success\":true,\"ui_block\":\"x\"}\n");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
}  // namespace kestreye
