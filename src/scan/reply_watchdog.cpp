#include "scan/reply_watchdog.h"

#include <unistd.h>

#include "scan/reply.h"
#include "text/write_all.h"

namespace kestreye {

ReplyWatchdog::ReplyWatchdog(std::chrono::steady_clock::time_point deadline,
                             const std::atomic<ScanStep>& step)
    : deadline_(deadline), step_(step) {
  // Made now, so that the thread allocates nothing when it fires.
  const auto line = [](std::string message) {
    return encodeReply(ErrorResponse{std::move(message)}) + "\n";
  };
  fallback_[static_cast<int>(ScanStep::Starting)] =
      line("Accessibility permission not granted");
  fallback_[static_cast<int>(ScanStep::FindingApplication)] =
      line("No frontmost application");
  // Past the focused element the walks are cut short by the scan's own
  // deadlines; only a call that overruns its time limit leaves the block
  // unbuilt, and the focused element is then as good as unread.
  fallback_[static_cast<int>(ScanStep::ReadingFocus)] =
      line("No focused element");
  fallback_[static_cast<int>(ScanStep::Gathering)] =
      fallback_[static_cast<int>(ScanStep::ReadingFocus)];
  thread_ = std::thread([this] { watch(); });
}

ReplyWatchdog::~ReplyWatchdog() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  thread_.join();
}

bool ReplyWatchdog::claim() {
  int open = kOpen;
  return state_.compare_exchange_strong(open, kScanWrites);
}

void ReplyWatchdog::writeClaimed(std::string_view line) {
  if (!claim()) return;
  writeAll(STDOUT_FILENO, line);
  {
    // Under the lock, so that the thread cannot miss the change.
    const std::lock_guard<std::mutex> lock(mutex_);
    state_.store(kWritten);
  }
  stopped_.notify_all();
}

void ReplyWatchdog::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopped_.wait_until(lock, deadline_, [this] { return stop_; })) return;
  int open = kOpen;
  if (state_.compare_exchange_strong(open, kWritten)) {
    writeAll(STDOUT_FILENO, fallback_[static_cast<int>(step_.load())]);
    _exit(0);
  }
  // The scan is writing its own reply: let it finish.
  stopped_.wait(lock, [this] { return stop_ || state_.load() == kWritten; });
}

}  // namespace kestreye
