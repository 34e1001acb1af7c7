// The safety net of a `kestreye scan` process: whatever blocks, one reply
// line is written before SCAN_DEADLINE, and only one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "scan/scan_state.h"

namespace kestreye {

/// Guards the one reply line of a process. A thread of its own waits until
/// `deadline`; if the scan has not claimed the reply by then, it writes the
/// error reply that fits the scan's step with write(2) and ends the process
/// with _exit(0), so that no call that libatspi or libdbus blocks in can hold
/// it up.
class ReplyWatchdog {
 public:
  ReplyWatchdog(std::chrono::steady_clock::time_point deadline,
                const std::atomic<ScanStep>& step);
  /// Stops the thread; the reply must have been claimed by then.
  ~ReplyWatchdog();
  ReplyWatchdog(const ReplyWatchdog&) = delete;
  ReplyWatchdog& operator=(const ReplyWatchdog&) = delete;

  /// Takes the right to write the reply; false once the watchdog has it.
  bool claim();
  /// Writes `line` in full, unless the watchdog already claimed the reply.
  void writeClaimed(std::string_view line);

 private:
  void watch();

  enum State { kOpen, kScanWrites, kWritten };
  const std::chrono::steady_clock::time_point deadline_;
  const std::atomic<ScanStep>& step_;
  std::string fallback_[4];
  std::atomic<int> state_{kOpen};
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kestreye
